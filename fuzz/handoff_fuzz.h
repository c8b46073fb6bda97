// The tester hand-off over a tester region as an image made elsewhere may hold it: any bytes at the
// region's start, walked by RunTesterHandOff on a NOR or a NAND module. Whatever the records say,
// the hand-off releases every payload buffer, starts at most one program (one named *.exe), and
// drives the NAND controller without a protocol error.
#pragma once

#include <cstdint>

#include "fuzz/fuzz_module.h"
#include "fuzz/fuzz_support.h"
#include "sim/core/text.h"
#include "sim/hw/nand_controller.h"
#include "sim/services.h"
#include "tester/tester.h"

namespace fuzz {

inline int RunHandOff(ReusedModule& reused, const std::uint8_t* data, std::size_t size) {
  reused.Begin();
  reused.ClearRoot();
  sim::Module& m = reused.module();
  PlaceInTesterRegion(reused, std::span<const std::uint8_t>(data, size));
  const sim::NandController* nand = m.FindDevice<sim::NandController>();
  const std::uint64_t protocol_errors = nand ? nand->ProtocolErrors() : 0;
  RunTesterHandOff();
  Check(m.LiveHeapBlocks() == 0, "the hand-off leaves a payload buffer behind");
  const auto& launches = m.os().processes.launches();
  Check(launches.size() <= 1, "the hand-off started more than one program");
  if (!launches.empty()) {
    const std::u16string& image = launches[0].image;
    Check(image.size() >= 4 && sim::EqualIgnoringCase(std::u16string_view(image).substr(image.size() - 4), u".exe"),
          "the hand-off started no *.exe");
  }
  if (nand) Check(nand->ProtocolErrors() == protocol_errors, "the NAND driver broke the controller's protocol");
  return 0;
}

}  // namespace fuzz
