// The board plan's flash images, worked out on the host from the plan alone: what the image holds
// before the board program runs, and what every byte must hold after it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/arm_board/board_plan.h"

namespace board {

using Image = std::vector<std::uint8_t>;

inline void Fill(Image& image, const BoardRange& range) {
  for (std::uint32_t i = 0; i < range.Length; ++i) {
    image[range.Offset + i] = BoardPatternByte(range.Offset + i, range.Seed);
  }
}

inline void EraseBlock(Image& image, std::uint32_t block) {
  std::fill_n(image.begin() + block * BOARD_BLOCK_BYTES, BOARD_BLOCK_BYTES, 0xFF);
}

inline Image ImageBeforeRun() {
  Image image(BOARD_FLASH_BYTES, 0xFF);
  for (const BoardRange& range : BoardPrefill) Fill(image, range);
  return image;
}

// The plan's erases, word programs and buffered programs; the bundle's region ends erased, as the
// hand-off leaves it.
inline Image ImageAfterRun() {
  Image image = ImageBeforeRun();
  for (std::uint32_t block = BOARD_ERASE_FIRST_BLOCK; block <= BOARD_ERASE_LAST_BLOCK; ++block) {
    EraseBlock(image, block);
  }
  EraseBlock(image, BOARD_ERASE_INSIDE_14 / BOARD_BLOCK_BYTES);
  for (const BoardWord& word : BoardWords) {
    for (std::uint32_t i = 0; i < 4; ++i)
      image[word.Offset + i] = static_cast<std::uint8_t>(word.Value >> (8 * i));
  }
  for (std::uint32_t l = 0; l < BOARD_WRITE_LENGTH_COUNT; ++l) {
    for (std::uint32_t a = 0; a < BOARD_WRITE_ALIGNMENTS; ++a) {
      Fill(image, {BoardWriteOffset(l, a), BoardProgrammedBytes(BoardWriteLengths[l]), BoardWriteSeed(l, a)});
    }
  }
  std::fill_n(image.begin() + BOARD_BUNDLE_OFFSET, BOARD_BUNDLE_LENGTH, 0xFF);
  return image;
}

}  // namespace board
