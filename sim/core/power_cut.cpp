#include "sim/core/power_cut.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::size_t kWordBytes = 4;
constexpr std::uint64_t kScale = 1u << 16;     // probabilities in 1/65536
constexpr std::uint64_t kTornShare = kScale / 10;  // of the words not done, this share is torn

}  // namespace

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::optional<TearShape> TearShapeNamed(const std::string& name) {
  if (name == "bits") return TearShape::kBits;
  if (name == "half") return TearShape::kHalf;
  return std::nullopt;
}

const char* TearShapeName(TearShape shape) { return shape == TearShape::kHalf ? "half" : "bits"; }

void TearCells(std::span<std::uint8_t> cells, std::span<const std::uint8_t> target, const Tear& tear,
               std::uint64_t salt) {
  const std::size_t n = std::min(cells.size(), target.size());
  if (tear.shape == TearShape::kHalf) {
    std::copy_n(target.begin(), n / 2, cells.begin());
    return;
  }
  // The share of done words belongs to the cut (seed only); the pattern to each range (seed and salt).
  std::uint64_t cut_state = tear.seed;
  const std::uint64_t done = SplitMix(cut_state) % (kScale + 1);
  std::uint64_t state = tear.seed ^ (salt * 0xD1B54A32D192ED03ull);
  for (std::size_t word = 0; word < n; word += kWordBytes) {
    const std::uint64_t r = SplitMix(state) % kScale;
    const std::size_t end = std::min(n, word + kWordBytes);
    if (r < done) {
      std::copy(target.begin() + word, target.begin() + end, cells.begin() + word);
    } else if (r - done < (kScale - done) * kTornShare / kScale) {
      const std::uint64_t bits = SplitMix(state);
      for (std::size_t i = word; i < end; ++i) {
        const std::uint8_t changing = cells[i] ^ target[i];
        const std::uint8_t reached = changing & static_cast<std::uint8_t>(bits >> (8 * (i - word)));
        cells[i] ^= reached;
      }
    }
  }
}

}  // namespace sim
