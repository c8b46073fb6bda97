// Power lost while a flash array operation runs. A flash model that is cut tears the operation in
// progress (TearCells) and from then on refuses every access with sim::PowerCut until the module is
// started again; the image keeps what the cut left.
//
// How a cut operation leaves the cells ("half done" for each model is this, applied to what the
// operation was changing: the program's page, word or write buffer, or the erase's block):
//   bits  the default. Each 32-bit word of the range is either done, left as it was, or torn: of the
//         bits the operation was changing, a seeded random part reached the new value (a program
//         clears only some of the bits it should, an erase sets only some back to 1). The share of
//         done words is itself drawn for each cut, from barely started to nearly finished.
//   half  the first half of the range's bytes done, the second as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace sim {

// The module lost power: thrown by every access to a flash model after a scheduled power cut.
struct PowerCut : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class TearShape { kBits, kHalf };

struct Tear {
  TearShape shape = TearShape::kBits;
  std::uint64_t seed = 0;
};

// The seeded generator the flash models draw their faults from (tears, flipped bits): the next value
// of the sequence, advancing state.
std::uint64_t SplitMix(std::uint64_t& state);

// "bits" or "half"; nothing for any other name.
std::optional<TearShape> TearShapeNamed(const std::string& name);
const char* TearShapeName(TearShape shape);

// Moves cells part of the way to target as a cut operation leaves them; salt tells apart the ranges
// one cut tears (pages of a block, devices of a pair), so that each gets its own pattern. Bits where
// cells and target agree never change.
void TearCells(std::span<std::uint8_t> cells, std::span<const std::uint8_t> target, const Tear& tear,
               std::uint64_t salt = 0);

}  // namespace sim
