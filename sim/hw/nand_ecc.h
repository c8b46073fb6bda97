// The NAND controller's error-correcting code: a Hamming code over each 256 bytes of page data that
// corrects one flipped bit and detects two.
//
// The code has 22 bits, two per address bit of the 2048 data bits of a chunk: for each of the 8
// byte-index bits k, the parity of all bytes whose index has bit k set (odd) and of those whose index
// has it clear (even); likewise for the 3 bit-in-byte bits, over the columns. Packed in a 32-bit value:
//   bits 2k, 2k+1 (k = 0..7)  line parity even/odd of byte-index bit k
//   bits 16 + 2k, 17 + 2k (k = 0..2)  column parity even/odd of bit-in-byte bit k
// It is stored inverted, little-endian, in three spare bytes (bits 22 and 23 stored as 1), so that an
// erased chunk (0xFF data, 0xFF code bytes) checks clean.
//
// A single flipped data bit changes exactly one bit of every pair; a single flipped code bit changes
// one bit in all; two flipped data bits leave every pair either unchanged or with both bits changed.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace sim::nand_ecc {

inline constexpr std::uint32_t kChunkBytes = 256;
inline constexpr std::uint32_t kCodeBytes = 3;  // stored bytes per chunk

// The 22-bit code of one 256-byte chunk (not inverted).
std::uint32_t Compute(std::span<const std::uint8_t, kChunkBytes> chunk);

// The three bytes the controller stores for a chunk.
std::array<std::uint8_t, kCodeBytes> Encode(std::span<const std::uint8_t, kChunkBytes> chunk);

enum class Outcome {
  kClean,          // data and code agree
  kCorrectedData,  // one data bit was wrong and has been put right in the chunk
  kCodeBitError,   // one bit of the stored code was wrong; the data is good
  kUncorrectable,  // two or more bits wrong: the chunk is left as read
};

// Checks a chunk against its three stored bytes and corrects a single data-bit error in place.
Outcome Check(std::span<std::uint8_t, kChunkBytes> chunk, std::span<const std::uint8_t, kCodeBytes> stored);

}  // namespace sim::nand_ecc
