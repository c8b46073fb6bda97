// module.json, as someone else wrote it: any bytes are read into a description or refused with a
// DescriptionError naming the field or the line; nothing else may escape the reader (a raw library
// exception would end kalvori with the wrong status), and what is accepted is consistent.
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "sim/core/config_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    sim::Description d = sim::ParseDescription(sim::ReadDescriptionText(text), "/fuzz/module");
    const bool nor_processor = sim::Description::ProductOfMainId(d.cpu_main_id) == 17;
    if (d.flash.type == sim::FlashConfig::Type::kNor) fuzz::Check(nor_processor, "NOR flash on another processor");
    if (d.flash.type == sim::FlashConfig::Type::kNand) fuzz::Check(!nor_processor, "NAND flash on the NOR processor");
    for (const sim::VolumeDescription& v : d.volumes_at_start) fuzz::Check(!v.name.empty(), "a volume without a name");
  } catch (const sim::DescriptionError& e) {
    fuzz::CheckPrintable(e.what());
  }
  return 0;
}
