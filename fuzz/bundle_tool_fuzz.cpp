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

namespace {

// Whether a file holds exactly these bytes, read in pieces through one buffer kept from input to input.
bool SameBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
  static std::vector<char> piece(64 * 1024);
  std::ifstream in(file, std::ios::binary);
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t n = std::min(piece.size(), bytes.size() - done);
    if (!in.read(piece.data(), static_cast<std::streamsize>(n))) return false;
    if (std::memcmp(piece.data(), bytes.data() + done, n) != 0) return false;
    done += n;
  }
  return in.peek() == std::char_traits<char>::eof();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ReusedModule* reused =
      new fuzz::ReusedModule("bundle", fuzz::kNorCpuProduct, fuzz::kFuzzNor, std::nullopt);
  reused->Begin();
  fuzz::PlaceInTesterRegion(*reused, std::span<const std::uint8_t>(data, size));
  fuzz::Check(FlashInit() != 0, "the NOR flash does not start");

  tools::ModuleFlash flash;  // the running module's, as `kalvori bundle` reads it
  tools::BundleContents contents = tools::ReadBundle(flash);
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
      fuzz::Check(SameBytes(written[i], contents.records[i].file.payload), "an extracted file does not hold its record");
    }
  } catch (const tools::BundleError& e) {
    fuzz::CheckPrintable(e.what());
    fuzz::Check(!fs::exists(out), "a refused extract wrote something");
  }
  return 0;
}
