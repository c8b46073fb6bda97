// The controller's code over 256 bytes: every single flipped bit is put right, every pair is caught.
#include <gtest/gtest.h>

#include <array>

#include "sim/hw/nand_ecc.h"

namespace {

using sim::nand_ecc::Outcome;

std::array<std::uint8_t, 256> Chunk(std::uint32_t seed) {
  std::array<std::uint8_t, 256> c{};
  for (std::size_t i = 0; i < c.size(); ++i) c[i] = static_cast<std::uint8_t>((i * 37 + seed * 101) ^ (i >> 3));
  return c;
}

TEST(NandEcc, EverySingleBitIsCorrectedWhereverItFalls) {
  const auto good = Chunk(1);
  const auto code = sim::nand_ecc::Encode(good);
  for (std::uint32_t bit = 0; bit < 256 * 8; ++bit) {
    auto bad = good;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_EQ(sim::nand_ecc::Check(bad, code), Outcome::kCorrectedData) << "bit " << bit;
    ASSERT_EQ(bad, good) << "bit " << bit;
  }
}

TEST(NandEcc, TwoFlippedBitsAreReportedAndAFlippedCodeBitSparesTheData) {
  const auto good = Chunk(2);
  const auto code = sim::nand_ecc::Encode(good);
  for (std::uint32_t a = 0; a < 256 * 8; a += 7) {
    for (std::uint32_t b = a + 1; b < 256 * 8; b += 131) {
      auto bad = good;
      bad[a / 8] ^= static_cast<std::uint8_t>(1u << (a % 8));
      bad[b / 8] ^= static_cast<std::uint8_t>(1u << (b % 8));
      ASSERT_EQ(sim::nand_ecc::Check(bad, code), Outcome::kUncorrectable) << a << " " << b;
    }
  }
  for (std::uint32_t bit = 0; bit < 22; ++bit) {
    auto stored = code;
    stored[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto data = good;
    EXPECT_EQ(sim::nand_ecc::Check(data, stored), Outcome::kCodeBitError) << "code bit " << bit;
    EXPECT_EQ(data, good);
  }
  std::array<std::uint8_t, 256> erased;
  erased.fill(0xFF);
  EXPECT_EQ(sim::nand_ecc::Encode(erased), (std::array<std::uint8_t, 3>{0xFF, 0xFF, 0xFF}));
}

}  // namespace
