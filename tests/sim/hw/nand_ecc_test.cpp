// The controller's code over 256 bytes: every single flipped bit is put right, every pair is caught,
// and the code is the one its bit-by-bit definition gives.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <random>

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

// The code as first written, bit by bit from its definition: the reference the word-wise computation
// must match exactly.
std::uint32_t ReferenceCode(const std::array<std::uint8_t, 256>& chunk) {
  auto parity = [](std::uint32_t v) { return static_cast<std::uint32_t>(std::popcount(v)) & 1u; };
  std::uint32_t code = 0;
  std::uint32_t columns = 0;
  std::uint32_t line_odd[8] = {};
  std::uint32_t line_even[8] = {};
  for (std::uint32_t i = 0; i < 256; ++i) {
    columns ^= chunk[i];
    std::uint32_t p = parity(chunk[i]);
    for (std::uint32_t k = 0; k < 8; ++k) {
      if (i & (1u << k)) {
        line_odd[k] ^= p;
      } else {
        line_even[k] ^= p;
      }
    }
  }
  for (std::uint32_t k = 0; k < 8; ++k) code |= line_even[k] << (2 * k) | line_odd[k] << (2 * k + 1);
  constexpr std::uint32_t kColumnOdd[3] = {0xAA, 0xCC, 0xF0};
  for (std::uint32_t k = 0; k < 3; ++k) {
    code |= parity(columns & ~kColumnOdd[k] & 0xFF) << (16 + 2 * k) | parity(columns & kColumnOdd[k]) << (17 + 2 * k);
  }
  return code;
}

std::array<std::uint8_t, 256> RandomChunk(std::mt19937& random) {
  std::array<std::uint8_t, 256> c{};
  for (std::uint8_t& b : c) b = static_cast<std::uint8_t>(random());
  return c;
}

TEST(NandEcc, TheCodeMatchesTheBitByBitDefinitionOnRandomAndSparseChunks) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 2000; ++round) {
    auto chunk = RandomChunk(random);
    if (round % 4 == 1) chunk.fill(0xFF);
    if (round % 4 == 2) chunk.fill(0x00);
    // Sparse chunks: a few set or cleared bits, where a slip in one index bit shows at once.
    if (round % 4 != 0) {
      for (std::uint32_t n = random() % 4; n-- > 0;) {
        std::uint32_t bit = random() % (256 * 8);
        chunk[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      }
    }
    ASSERT_EQ(sim::nand_ecc::Compute(chunk), ReferenceCode(chunk)) << "round " << round;
    const std::uint32_t stored = ~ReferenceCode(chunk);
    ASSERT_EQ(sim::nand_ecc::Encode(chunk),
              (std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(stored), static_cast<std::uint8_t>(stored >> 8),
                                           static_cast<std::uint8_t>(stored >> 16)}))
        << "round " << round;
  }
}

TEST(NandEcc, RandomChunksWithOneFlippedBitAreRestoredAndTheCodeOfTheFlippedChunkMatchesTheReference) {
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    const auto good = RandomChunk(random);
    const auto code = sim::nand_ecc::Encode(good);
    auto bad = good;
    std::uint32_t bit = random() % (256 * 8);
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_EQ(sim::nand_ecc::Compute(bad), ReferenceCode(bad)) << "round " << round;
    ASSERT_EQ(sim::nand_ecc::Check(bad, code), Outcome::kCorrectedData) << "round " << round << " bit " << bit;
    ASSERT_EQ(bad, good) << "round " << round;
  }
}

}  // namespace
