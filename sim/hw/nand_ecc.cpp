#include "sim/hw/nand_ecc.h"

#include <bit>

namespace sim::nand_ecc {

namespace {

constexpr std::uint32_t kCodeMask = 0x3FFFFF;
constexpr std::uint32_t kLineBits = 8;    // bits of the byte index
constexpr std::uint32_t kColumnBits = 3;  // bits of the bit-in-byte index
constexpr std::uint32_t kEvenBitsOfPairs = 0x155555;  // bit 0 of each of the 11 pairs
// Bits of a byte whose bit-in-byte index has bit k set.
constexpr std::uint8_t kColumnOdd[kColumnBits] = {0xAA, 0xCC, 0xF0};

std::uint32_t Parity(std::uint32_t value) { return static_cast<std::uint32_t>(std::popcount(value)) & 1u; }

}  // namespace

std::uint32_t Compute(std::span<const std::uint8_t, kChunkBytes> chunk) {
  std::uint32_t code = 0;
  std::uint32_t columns = 0;  // XOR of all bytes: the parity of each bit column
  std::uint32_t line_odd[kLineBits] = {};
  std::uint32_t line_even[kLineBits] = {};
  for (std::uint32_t i = 0; i < kChunkBytes; ++i) {
    columns ^= chunk[i];
    std::uint32_t p = Parity(chunk[i]);
    for (std::uint32_t k = 0; k < kLineBits; ++k) {
      if (i & (1u << k)) {
        line_odd[k] ^= p;
      } else {
        line_even[k] ^= p;
      }
    }
  }
  for (std::uint32_t k = 0; k < kLineBits; ++k) code |= line_even[k] << (2 * k) | line_odd[k] << (2 * k + 1);
  for (std::uint32_t k = 0; k < kColumnBits; ++k) {
    std::uint32_t odd = Parity(columns & kColumnOdd[k]);
    std::uint32_t even = Parity(columns & ~std::uint32_t{kColumnOdd[k]} & 0xFF);
    code |= even << (16 + 2 * k) | odd << (17 + 2 * k);
  }
  return code;
}

std::array<std::uint8_t, kCodeBytes> Encode(std::span<const std::uint8_t, kChunkBytes> chunk) {
  std::uint32_t stored = ~Compute(chunk);
  return {static_cast<std::uint8_t>(stored), static_cast<std::uint8_t>(stored >> 8),
          static_cast<std::uint8_t>(stored >> 16)};
}

Outcome Check(std::span<std::uint8_t, kChunkBytes> chunk, std::span<const std::uint8_t, kCodeBytes> stored) {
  std::uint32_t code = ~(std::uint32_t{stored[0]} | std::uint32_t{stored[1]} << 8 | std::uint32_t{stored[2]} << 16);
  std::uint32_t syndrome = (Compute(chunk) ^ code) & kCodeMask;
  if (syndrome == 0) return Outcome::kClean;
  if (((syndrome ^ (syndrome >> 1)) & kEvenBitsOfPairs) == kEvenBitsOfPairs) {
    // Every pair differs in exactly one bit: the odd bits spell the flipped bit's position.
    std::uint32_t byte = 0;
    for (std::uint32_t k = 0; k < kLineBits; ++k) byte |= ((syndrome >> (2 * k + 1)) & 1u) << k;
    std::uint32_t bit = 0;
    for (std::uint32_t k = 0; k < kColumnBits; ++k) bit |= ((syndrome >> (17 + 2 * k)) & 1u) << k;
    chunk[byte] ^= static_cast<std::uint8_t>(1u << bit);
    return Outcome::kCorrectedData;
  }
  if (std::popcount(syndrome) == 1) return Outcome::kCodeBitError;
  return Outcome::kUncorrectable;
}

}  // namespace sim::nand_ecc
