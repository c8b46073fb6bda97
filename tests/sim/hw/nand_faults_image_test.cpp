// Injected faults, the power cut, the image on disk and the description of the NAND models.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <bit>

#include "tests/sim/hw/nand_port.h"

namespace nandmodel_test {
namespace {

constexpr std::uint32_t kLargeRaw = 2048 + 64;

int BitsDiffering(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  int n = 0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) n += std::popcount(unsigned(a[i] ^ b[i]));
  return n;
}

TEST(NandModelFaults, BitFlipsAreSeededStableAndWithinReachOfTheEcc) {
  NandModule m(J(R"({"chip": "0xF1EC", "faults": {"bit_flips": [
                   {"block": 3, "page": 1, "bits_per_256": 1, "seed": 9},
                   {"block": 3, "page": 2, "bits_per_256": 2, "seed": 9}]}})"));
  m.SetReg(C::kRegControl, Control({.ecc = true}));
  std::vector<std::uint8_t> data = Pattern(2048, 7);
  for (std::uint32_t page : {1u, 2u}) m.ProgramLarge(3 * 64 + page, Words(data));

  std::uint32_t status = 0;
  EXPECT_EQ(Bytes(m.ReadLarge(3 * 64 + 1, 512, &status)), data);
  EXPECT_EQ(status & C::kStatusEccError, 0u);
  EXPECT_EQ(m.nand().CorrectedBits(), 8u) << "one bit in each of the 8 chunks";
  m.ReadLarge(3 * 64 + 2, 512, &status);
  EXPECT_EQ(status & C::kStatusEccError, C::kStatusEccError);

  m.SetReg(C::kRegControl, Control({}));
  std::vector<std::uint8_t> raw = Bytes(m.ReadLarge(3 * 64 + 1, 512));
  EXPECT_EQ(BitsDiffering(raw, data), 8);
  EXPECT_EQ(Bytes(m.ReadLarge(3 * 64 + 1, 512)), raw) << "the same bits every read";
  EXPECT_TRUE(std::equal(data.begin(), data.end(), m.nand().RawReadPage(0, 0, 3 * 64 + 1).begin()))
      << "the cells themselves hold the data; the flips show when the page is read";
}

TEST(NandModelFaults, AStatusBitThatNeverAppearsAndAnUnknownId) {
  NandModule m(J(R"({"chip": "0xD3EC", "faults": {"status_never": "0x800", "id": "0x1234"}})"));
  m.SetReg(C::kRegControl, Control({}));
  m.Issue(Cmd(C::kTypeReadId, 0x90, 0, 1));
  EXPECT_EQ(m.ReadFifo(2)[0] & 0xFFFF, 0x1234u);
  EXPECT_NE(m.Poll(C::kStatusDoneCs0), 0u);
  m.Issue(Cmd(C::kTypeReset, 0xFF, 0, 0));
  EXPECT_EQ(m.Poll(C::kStatusReady, 10000), 0u);
  EXPECT_NE(m.Poll(C::kStatusDoneCs0), 0u) << "the command itself still ends";
}

TEST(NandModelPowerCut, ACutProgramLeavesHalfAPageAndTheModuleRefusesEverythingUntilRestarted) {
  NandModule m(J(R"({"chip": "0xF1EC", "image": "nand.img", "faults": {"power_cut": {"at": 2, "op": "program", "tear": "half"}}})"));
  m.SetReg(C::kRegControl, Control({.spare = true}));
  std::vector<std::uint32_t> zeros(kLargeRaw / 4, 0);
  m.ProgramLarge(10, zeros);
  m.Issue(Cmd(C::kTypeProgram, 0x80, 0x10, m.PageCycles(), 0, true), 11 << 16);
  m.WriteFifo(zeros);
  EXPECT_TRUE(m.nand().power_cut());
  EXPECT_THROW(m.Reg(C::kRegStatus), sim::PowerCut);
  EXPECT_THROW(m.SetReg(C::kRegControl, 0), sim::PowerCut);
  std::vector<std::uint8_t> cut = m.nand().RawReadPage(0, 0, 11);
  EXPECT_EQ(std::count(cut.begin(), cut.end(), 0x00), kLargeRaw / 2);
  EXPECT_EQ(cut[kLargeRaw / 2 - 1], 0x00);
  EXPECT_EQ(cut[kLargeRaw / 2], 0xFF);

  // After the restart the cells are as the cut left them, and the chip works again.
  m.Restart(J(R"({"chip": "0xF1EC", "image": "nand.img"})"));
  m.SetReg(C::kRegControl, Control({.spare = true}));
  EXPECT_EQ(Bytes(m.ReadLarge(11, kLargeRaw / 4)), cut);
  EXPECT_EQ(m.ReadLarge(10, kLargeRaw / 4), zeros);
  EXPECT_EQ(m.ProgramLarge(11, zeros) & 0x1F0, C::kStatusDoneCs0);
}

TEST(NandModelPowerCut, ACutEraseLeavesHalfTheBlockErased) {
  NandModule m(J(R"({"chip": "0x75EC"})"));
  sim::NandController& nand = m.nand();
  std::vector<std::uint8_t> zeros(512 + 16, 0);
  for (std::uint32_t lane : {0u, 1u}) {
    nand.RawProgramPage(0, lane, 2 * 32 + 0, zeros);
    nand.RawProgramPage(0, lane, 2 * 32 + 31, zeros);
  }
  nand.SchedulePowerCut(1, sim::NandOperation::kErase, {sim::TearShape::kHalf, 0});
  m.SetReg(C::kRegControl, Control({.large = false, .wide = true}));
  m.Issue(Cmd(C::kTypeErase, 0x60, 0xD0, 2, 0, true), 2 * 32);
  EXPECT_THROW(m.Reg(C::kRegStatus), sim::PowerCut);
  for (std::uint32_t lane : {0u, 1u}) {
    EXPECT_EQ(nand.RawReadPage(0, lane, 2 * 32 + 0)[0], 0xFF) << "first half erased";
    EXPECT_EQ(nand.RawReadPage(0, lane, 2 * 32 + 31)[0], 0x00) << "second half not reached";
  }
}

// What a cut leaves at bit level, over many seeds: only the bits the operation was changing move, and
// only toward its target; the same seed tears alike; the share done ranges from none to nearly all.
TEST(NandModelPowerCut, ACutTearsBitsTowardTheTargetOnlyAndAsItsSeedSays) {
  std::vector<std::uint8_t> old_page = Pattern(kLargeRaw, 3);
  std::vector<std::uint8_t> new_data = Pattern(kLargeRaw, 4);
  auto cut_program = [&](std::uint64_t seed) {
    NandModule m(J(R"({"chip": "0xF1EC"})"));
    m.nand().RawProgramPage(0, 0, 11, old_page);
    m.nand().SchedulePowerCut(1, sim::NandOperation::kProgram, {sim::TearShape::kBits, seed});
    m.SetReg(C::kRegControl, Control({.spare = true}));
    m.Issue(Cmd(C::kTypeProgram, 0x80, 0x10, m.PageCycles(), 0, true), 11 << 16);
    m.WriteFifo(Words(new_data));
    EXPECT_THROW(m.Reg(C::kRegStatus), sim::PowerCut);
    return m.nand().RawReadPage(0, 0, 11);
  };
  int fewest = kLargeRaw * 8, most = 0;
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    std::vector<std::uint8_t> cut = cut_program(seed);
    int moved = 0, to_move = 0;
    for (std::size_t i = 0; i < cut.size(); ++i) {
      std::uint8_t target = old_page[i] & new_data[i];
      ASSERT_EQ(cut[i] & ~old_page[i] & 0xFF, 0) << "a program sets no bit";
      ASSERT_EQ(target & ~cut[i] & 0xFF, 0) << "nor clears one it was not asked to";
      moved += std::popcount(unsigned(old_page[i] ^ cut[i]));
      to_move += std::popcount(unsigned(old_page[i] ^ target));
    }
    fewest = std::min(fewest, moved * 100 / to_move);
    most = std::max(most, moved * 100 / to_move);
    if (seed == 7) {
      EXPECT_EQ(cut_program(7), cut) << "reproducible";
    }
  }
  EXPECT_LT(fewest, 10);
  EXPECT_GT(most, 90);

  // An erase: every page of the block torn toward 0xFF; whole words erased, words as they were, and
  // words with only some of their bits back at 1.
  NandModule m(J(R"({"chip": "0xF1EC"})"));
  std::vector<std::uint8_t> zeros(kLargeRaw, 0);
  for (std::uint32_t page = 0; page < 64; ++page) m.nand().RawProgramPage(0, 0, 5 * 64 + page, zeros);
  m.nand().SchedulePowerCut(1, sim::NandOperation::kErase, {sim::TearShape::kBits, 12});
  m.SetReg(C::kRegControl, Control({}));
  m.Issue(Cmd(C::kTypeErase, 0x60, 0xD0, 2, 0, true), 5 * 64);
  EXPECT_THROW(m.Reg(C::kRegStatus), sim::PowerCut);
  std::size_t erased = 0, untouched = 0, torn = 0;
  for (std::uint32_t page = 0; page < 64; ++page) {
    std::vector<std::uint8_t> cells = m.nand().RawReadPage(0, 0, 5 * 64 + page);
    for (std::size_t w = 0; w < cells.size(); w += 4) {
      std::uint32_t word = cells[w] | cells[w + 1] << 8 | cells[w + 2] << 16 | std::uint32_t{cells[w + 3]} << 24;
      (word == 0xFFFFFFFF ? erased : word == 0 ? untouched : torn)++;
    }
  }
  EXPECT_GT(erased, 0u);
  EXPECT_GT(untouched, 0u);
  EXPECT_GT(torn, 0u);
}

TEST(NandModelImage, ALargeImageIsSparseAndPersistsAcrossRestarts) {
  NandModule m(J(R"({"chip": "0xD3EC", "image": "nand.img"})"));
  std::filesystem::path image = m.folder() / "nand.img";
  const std::uint64_t full = std::uint64_t{8192} * 64 * kLargeRaw;
  struct stat info {};
  ASSERT_EQ(::stat(image.c_str(), &info), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), full);
  EXPECT_LT(static_cast<std::uint64_t>(info.st_blocks) * 512, 1u << 20) << "nothing written up front";
  nlohmann::json sidecar = nlohmann::json::parse(testing_support::ReadFile(sim::NandImage::SidecarPath(image)));
  EXPECT_EQ(sidecar["chip"], "0xD3EC");

  m.SetReg(C::kRegControl, Control({.spare = true}));
  std::vector<std::uint8_t> page = Pattern(kLargeRaw, 8);
  const std::uint32_t row = 8191 * 64 + 63;  // the very last page
  m.ProgramLarge(row, Words(page));
  EXPECT_TRUE(m.nand().image().IsMaterialised(0, 8191));
  EXPECT_FALSE(m.nand().image().IsMaterialised(0, 8190)) << "blocks materialise only when written";

  m.Restart(J(R"({"chip": "0xD3EC", "image": "nand.img"})"));
  m.SetReg(C::kRegControl, Control({.spare = true}));
  EXPECT_EQ(Bytes(m.ReadLarge(row, kLargeRaw / 4)), page);
  EXPECT_EQ(m.ReadLarge(row - 64, kLargeRaw / 4), std::vector<std::uint32_t>(kLargeRaw / 4, 0xFFFFFFFF))
      << "unwritten blocks read erased";
  ASSERT_EQ(::stat(image.c_str(), &info), 0);
  EXPECT_LT(static_cast<std::uint64_t>(info.st_blocks) * 512, 1u << 20);

  // The same image under another chip is refused.
  m.Stop();
  sim::Description d = testing_support::BareDescription(m.folder(), kProduct);
  d.flash = sim::ReadFlashConfig(J(R"({"type": "nand", "chip": "0xF1EC", "image": "nand.img"})"), m.folder());
  try {
    sim::Module wrong(d);
    ADD_FAILURE() << "an image of another chip was accepted";
  } catch (const sim::DescriptionError& e) {
    EXPECT_NE(std::string(e.what()).find("'flash.chip'"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("0xD3EC"), std::string::npos) << e.what();
  }
}

TEST(NandModelBackDoor, FlashViewsFollowTheWiringAndItsEccMatchesTheController) {
  NandModule m(J(R"({"chip": "0x75EC"})"));
  sim::NandController& nand = m.nand();
  EXPECT_EQ(nand.FlashBlockBytes(), 0x8000u);
  EXPECT_EQ(nand.FlashBlocks(), 2048u);
  std::vector<std::uint8_t> data = Pattern(1024, 9);
  nand.ProgramFlash(0x10000, data, true);  // flash offset 0x10000: device offset 0x8000, page 64
  EXPECT_EQ(nand.RawReadPage(0, 0, 64)[0], data[0]);
  EXPECT_EQ(nand.RawReadPage(0, 1, 64)[0], data[1]);
  EXPECT_EQ(nand.ReadFlash(0x10000, 1024), data);
  std::vector<std::uint8_t> device0 = nand.RawReadPage(0, 0, 64);
  device0.resize(512);
  EXPECT_EQ(nand.ReadFlash(0x8000, 512, sim::NandView::kNarrow), device0);

  m.SetReg(C::kRegControl, Control({.large = false, .wide = true, .ecc = true}));
  m.Issue(Cmd(C::kTypeRead, 0x00, 0, 3), 64 << 8);
  EXPECT_EQ(Bytes(m.ReadFifo(256)), data);
  EXPECT_EQ(m.Outcome() & C::kStatusEccError, 0u);
  EXPECT_EQ(nand.CorrectedBits(), 0u);
  EXPECT_EQ(nand.Counters({0, 0, 2}).reads, 1u) << "the back door counts nothing";
}

TEST(NandModelDescription, MistakesNameTheirField) {
  testing_support::TempFolder folder;
  auto error = [&](const char* flash) -> std::string {
    sim::Description d = testing_support::BareDescription(folder.path(), kProduct);
    try {
      d.flash = sim::ReadFlashConfig(J(flash), d.folder);
      sim::Module module(d);
    } catch (const sim::DescriptionError& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_NE(error(R"({"type": "nand"})").find("'flash.chip'"), std::string::npos);
  EXPECT_NE(error(R"({"type": "nand", "chip": "0x1234"})").find("not a modelled chip"), std::string::npos);
  EXPECT_NE(error(R"({"type": "nand", "chip": "0xF1EC", "bad": 1})").find("'flash.bad'"), std::string::npos);
  EXPECT_NE(error(R"({"type": "nand", "chip": "0xF1EC", "factory_bad_blocks": [1024]})")
                .find("'flash.factory_bad_blocks[0]'"),
            std::string::npos);
  EXPECT_NE(error(R"({"type": "nand", "chip": "0xDCAD", "factory_bad_blocks": [{"chip_select": 2, "block": 1}]})")
                .find("'flash.factory_bad_blocks[0].chip_select'"),
            std::string::npos);
  EXPECT_NE(error(R"({"type": "nand", "chip": "0xF1EC", "faults": {"power_cut": {"at": 1, "op": "read"}}})")
                .find("'flash.faults.power_cut.op'"),
            std::string::npos);
  EXPECT_NE(error(R"({"type": "nand", "chip": "0xF1EC", "faults": {"id": "0x12345"}})").find("'flash.faults.id'"),
            std::string::npos);
  EXPECT_EQ(error(R"({"type": "nand", "chip": 61932, "os_driver": false, "faults": {}})"), "accepted");
}

}  // namespace
}  // namespace nandmodel_test
