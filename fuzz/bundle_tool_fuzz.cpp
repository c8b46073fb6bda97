// `kalvori bundle list` and `extract` over a tester region as an image made elsewhere may hold it:
// the records are walked through the flash library as the hand-off walks them, listed (every name
// escaped on the way to the terminal) and extracted into a scratch folder. An extract that is
// refused has written nothing; one that succeeds has written every record's payload.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "flash/flash_ops.h"
#include "fuzz/fuzz_module.h"
#include "fuzz/fuzz_support.h"
#include "sim/core/text.h"
#include "tools/bundle.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ReusedModule* reused =
      new fuzz::ReusedModule("bundle", fuzz::kNorCpuProduct, fuzz::kFuzzNor, std::nullopt);
  reused->Begin();
  fuzz::PlaceInTesterRegion(*reused, std::span<const std::uint8_t>(data, size));
  fuzz::Check(FlashInit() != 0, "the NOR flash does not start");

  tools::BundleContents contents = tools::WalkBundle(
      [](std::uint32_t offset, std::span<std::uint8_t> out) {
        if (out.size() % 4 != 0 || offset % 4 != 0) return false;
        if (out.empty()) return true;  // nothing to read, and no storage to copy to
        std::vector<u32> words(out.size() / 4);
        if (!FlashOps.Read(words.data(), offset, static_cast<u32>(out.size()))) return false;
        std::memcpy(out.data(), words.data(), out.size());
        return true;
      },
      FlashOps.UsableSize);
  for (const tools::BundleRecord& r : contents.records) fuzz::CheckPrintable(tools::DeviceNameToUtf8(r.file.name));
  fuzz::CheckPrintable(contents.problem);

  const fs::path out = reused->folder().path() / "extracted";
  std::error_code ignored;
  fs::remove_all(out, ignored);
  try {
    std::vector<fs::path> written = tools::ExtractBundle(contents, out);
    fuzz::Check(written.size() == contents.records.size(), "extract wrote another number of files");
    // The last record of each name is what its file holds.
    for (std::size_t i = 0; i < written.size(); ++i) {
      bool last = true;
      for (std::size_t k = i + 1; k < written.size(); ++k) last = last && written[k] != written[i];
      if (!last) continue;
      // Read whole: a byte at a time through the stream took most of each input's time.
      std::ifstream in(written[i], std::ios::binary | std::ios::ate);
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
      in.seekg(0);
      in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      fuzz::Check(static_cast<bool>(in), "an extracted file cannot be read back");
      fuzz::Check(bytes == contents.records[i].file.payload, "an extracted file does not hold its record");
    }
  } catch (const tools::BundleError& e) {
    fuzz::CheckPrintable(e.what());
    fuzz::Check(!fs::exists(out), "a refused extract wrote something");
  }
  return 0;
}
