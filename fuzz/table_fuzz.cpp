// The bad-block table page in block 0 as a chip may hold it after a cut, a bit flip or someone
// else's tool: any bytes, then the flash library's start-up (FlashInit, which builds the shared map
// from the table, or finds it built by the operating system's driver) and a few operations through
// FlashOps. Whatever the table says, the library drives the controller without a protocol error.
//
// Input: a flags byte (bit 0: the operating system's driver builds and signs the map first), the
// table page (2048 bytes on this chip; a shorter input leaves the rest erased), then operations of
// 7 bytes each: what (read, write, erase, read word, write word, block size), a 32-bit offset taken
// modulo a little more than the usable flash, and a 16-bit length (at most 8 KiB).
#include <cstdint>
#include <vector>

#include "flash/flash_ops.h"
#include "fuzz/fuzz_module.h"
#include "fuzz/fuzz_support.h"
#include "sim/hw/nand_factory.h"
#include "sim/os/nand_os_driver.h"
#include "sim/services.h"

namespace {

constexpr std::uint32_t kMaxLength = 8 * 1024;
constexpr int kMaxOperations = 8;

void Operate(fuzz::Input& input, std::uint32_t block_bytes) {
  std::vector<u32> buffer(kMaxLength / 4);
  for (int n = 0; n < kMaxOperations && !input.empty(); ++n) {
    const std::uint8_t what = input.Byte() % 6;
    const std::uint32_t offset = (input.U32() % (FlashOps.UsableSize + 2 * block_bytes)) & ~3u;
    const std::uint32_t length = (input.U16() % (kMaxLength + 4)) & ~3u;
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = 0xA5000000u | static_cast<u32>(i);
    switch (what) {
      case 0:
        FlashOps.Read(buffer.data(), offset, length);
        break;
      case 1:
        FlashOps.Write(buffer.data(), offset, length);
        break;
      case 2:
        FlashOps.Erase(offset, length);
        break;
      case 3:
        FlashOps.ReadWord(offset);
        break;
      case 4:
        FlashOps.WriteWord(offset, 0x5A5A5A5Au);
        break;
      default:
        FlashOps.GetBlockSize(offset);
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ReusedModule* reused =
      new fuzz::ReusedModule("table", fuzz::kNandCpuProduct, fuzz::kFuzzNand, std::nullopt);
  reused->Begin();
  sim::Module& m = reused->module();
  sim::NandController& nand = *m.FindDevice<sim::NandController>();
  fuzz::Input input(data, size);
  const bool os_driver = input.Byte() & 1;

  // Block 0 holds the table page and nothing else: it is written afresh from the input.
  const sim::NandTablePlace place = *sim::NandTablePlaceOf(nand.chip().id);
  std::vector<std::uint8_t> table(place.length, 0xFF);
  std::span<const std::uint8_t> given = input.Take(place.length);
  std::copy(given.begin(), given.end(), table.begin());
  nand.EraseFlashBlock(0);
  nand.ProgramFlash(place.offset, table, /*ecc=*/true);
  if (os_driver) sim::RunNandOsDriver(m, m.shared_memory(), nand);

  const std::uint64_t protocol_errors = nand.ProtocolErrors();
  if (FlashInit() != 0) Operate(input, nand.FlashBlockBytes());
  fuzz::Check(nand.ProtocolErrors() == protocol_errors, "the NAND driver broke the controller's protocol");
  fuzz::Check(m.LiveHeapBlocks() == 0, "the flash library leaves heap memory behind");
  return 0;
}
