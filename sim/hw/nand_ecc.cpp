#include "sim/hw/nand_ecc.h"

#include <bit>
#include <cstring>

namespace sim::nand_ecc {

namespace {

static_assert(std::endian::native == std::endian::little, "the chunk is read as little-endian 64-bit words");

constexpr std::uint32_t kCodeMask = 0x3FFFFF;
constexpr std::uint32_t kLineBits = 8;    // bits of the byte index
constexpr std::uint32_t kColumnBits = 3;  // bits of the bit-in-byte index
constexpr std::uint32_t kEvenBitsOfPairs = 0x155555;  // bit 0 of each of the 11 pairs
// Bits of a byte whose bit-in-byte index has bit k set.
constexpr std::uint8_t kColumnOdd[kColumnBits] = {0xAA, 0xCC, 0xF0};

// The chunk is read in 64-bit words: byte b of word j is byte 8j + b of the chunk.
constexpr std::uint32_t kWordBytes = 8;
constexpr std::uint32_t kWords = kChunkBytes / kWordBytes;
constexpr std::uint32_t kInWordBits = 3;  // the byte index's bits 0..2 (b); bits 3..7 are j
constexpr std::uint64_t kLowBitOfEachByte = 0x0101010101010101ull;
// Among the low bits of a word's bytes, those of bytes b whose bit k is set.
constexpr std::uint64_t kBytesWithIndexBit[kInWordBits] = {0x0100010001000100ull, 0x0101000001010000ull,
                                                           0x0101010100000000ull};

std::uint32_t Parity(std::uint64_t value) { return static_cast<std::uint32_t>(std::popcount(value)) & 1u; }

}  // namespace

// The line parities need, for each index bit k, the parity of the bytes of odd parity whose index has
// bit k set: that is bit k of the XOR of the indices of all odd-parity bytes. The even parities follow
// from the odd ones and the parity of the whole chunk. Each word gives its bytes' parities at once
// (bit 8b of the folded word); the in-word index bits are gathered over all words and resolved once,
// the word index j enters for every word with an odd number of odd-parity bytes.
std::uint32_t Compute(std::span<const std::uint8_t, kChunkBytes> chunk) {
  std::uint64_t columns = 0;       // XOR of all words
  std::uint64_t odd_in_word = 0;   // XOR of the byte-parity bits of all words
  std::uint32_t odd_words = 0;     // XOR of j over the words with an odd count of odd-parity bytes
  for (std::uint32_t j = 0; j < kWords; ++j) {
    std::uint64_t word;
    std::memcpy(&word, chunk.data() + j * kWordBytes, kWordBytes);
    columns ^= word;
    std::uint64_t parities = word ^ (word >> 4);
    parities ^= parities >> 2;
    parities ^= parities >> 1;
    parities &= kLowBitOfEachByte;
    odd_in_word ^= parities;
    // The sum of the eight parity bits lands in the top byte.
    std::uint32_t odd = static_cast<std::uint32_t>((parities * kLowBitOfEachByte) >> 56) & 1u;
    odd_words ^= j & (0u - odd);
  }
  std::uint32_t odd_indices = odd_words << kInWordBits;
  for (std::uint32_t k = 0; k < kInWordBits; ++k) odd_indices |= Parity(odd_in_word & kBytesWithIndexBit[k]) << k;

  columns ^= columns >> 32;
  columns ^= columns >> 16;
  columns ^= columns >> 8;
  const std::uint32_t column_byte = static_cast<std::uint32_t>(columns) & 0xFF;
  const std::uint32_t total = Parity(column_byte);

  std::uint32_t code = 0;
  for (std::uint32_t k = 0; k < kLineBits; ++k) {
    std::uint32_t odd = (odd_indices >> k) & 1u;
    code |= (total ^ odd) << (2 * k) | odd << (2 * k + 1);
  }
  for (std::uint32_t k = 0; k < kColumnBits; ++k) {
    std::uint32_t odd = Parity(column_byte & kColumnOdd[k]);
    std::uint32_t even = Parity(column_byte & ~std::uint32_t{kColumnOdd[k]} & 0xFF);
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
