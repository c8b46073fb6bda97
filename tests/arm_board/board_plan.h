/*
 * The flash library on an emulated ARM board: the plan both sides share.
 *
 * The program in tests/arm_board/program/ runs on QEMU's "virt" ARM board, whose second flash bank
 * (two 16-bit CFI devices side by side on a 32-bit bus, 64 MiB in all) stands for the module's NOR
 * flash. The host test (arm_board_test.cpp) fills the bank's image before the run as this plan says,
 * and afterwards computes from the same plan what every byte of the image must hold.
 *
 * Plain C++03 (the board program is device code); the host includes it too.
 */
#ifndef KALVORI_TESTS_ARM_BOARD_BOARD_PLAN_H
#define KALVORI_TESTS_ARM_BOARD_BOARD_PLAN_H

#include "platform/platform.h"

/* --- the flash as the board carries it --- */

#define BOARD_FLASH_BYTES 0x4000000u /* two devices of 2^25 bytes */
#define BOARD_BLOCK_BYTES 0x40000u   /* 128 KiB in each device */
#define BOARD_DEVICE_CLASS 1u        /* device code 0x18 */

/* The byte the plan puts at a flash offset for a seed: neighbouring offsets and seeds give other
   bytes, so a shifted, misplaced or repeated copy shows. */
inline u8 BoardPatternByte(u32 offset, u32 seed) {
  u32 x = offset * 2654435761u + seed * 40503u + 0x9E37u;
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 12;
  return (u8)(x ^ (x >> 24));
}

typedef struct BoardRange {
  u32 Offset;
  u32 Length;
  u32 Seed;
} BoardRange;

/* --- reads at any offset and length --- */

#define BOARD_READ_AREA 0x100000u
#define BOARD_READ_AREA_BYTES 0x2000u
#define BOARD_READ_SEED 1u
static const u32 BoardReadOffsets[] = {0, 1, 2, 3, 5, 6, 7, 0x3F, 0x41, 0x7FD, 0xFFE};
static const u32 BoardReadLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 63, 64, 65, 1000, 4093};

/* --- erases: blocks 8 to 15 --- */

/* Data in blocks 8, 9, 11, 13, 14 and 15 (a stripe at each end of the block); 10 and 12 are blank. */
#define BOARD_ERASE_FIRST_BLOCK 8u
#define BOARD_ERASE_LAST_BLOCK 12u
#define BOARD_ERASE_STRIPE 0x40u
/* From inside block 8 to inside block 12: blocks 8 to 12 are erased, 10 and 12 skipped as blank,
   13 is left as it is. */
#define BOARD_ERASE_OFFSET (8u * BOARD_BLOCK_BYTES + 0x1234u)
#define BOARD_ERASE_LENGTH (4u * BOARD_BLOCK_BYTES + 0x100u)
#define BOARD_ERASE_STEP (2u * BOARD_BLOCK_BYTES) /* the progress hook every second block */
/* Length 0: at an offset inside block 14 that block is erased, at the start of block 15 nothing. */
#define BOARD_ERASE_INSIDE_14 (14u * BOARD_BLOCK_BYTES + 0x10u)
#define BOARD_ERASE_START_15 (15u * BOARD_BLOCK_BYTES)

/* --- word programs --- */

typedef struct BoardWord {
  u32 Offset;
  u32 Value;
} BoardWord;

/* Values with one half programmed and the other left erased, both halves alike, every bit. */
static const BoardWord BoardWords[] = {
    {0x400000u, 0x12345678u}, {0x400004u, 0x00000000u},
    {0x400008u, 0xFFFF0000u}, {0x40000Cu, 0x0000FFFFu},
    {0x400010u, 0x00FF00FFu}, {0x4000FCu, 0xA5A55A5Au},
    {0x43FFFCu, 0x01020304u}, {BOARD_FLASH_BYTES - 4u, 0xC0FFEE11u},
};

/* --- buffered programs: every length here at every word alignment within a 64-byte line --- */

#define BOARD_WRITE_AREA 0x500000u
#define BOARD_WRITE_SLOT 0x2000u /* each (length, alignment) pair has a slot of its own */
#define BOARD_WRITE_ALIGNMENTS 16u
#define BOARD_WRITE_MAX 4100u
static const u32 BoardWriteLengths[] = {0,  1,  2,  3,   4,   5,   6,   8,   12,   60,  63,
                                        64, 65, 68, 100, 127, 128, 129, 192, 1000, 4100};
#define BOARD_WRITE_LENGTH_COUNT (sizeof(BoardWriteLengths) / sizeof(BoardWriteLengths[0]))

inline u32 BoardWriteOffset(u32 lengthIndex, u32 alignment) {
  return BOARD_WRITE_AREA + (lengthIndex * BOARD_WRITE_ALIGNMENTS + alignment) * BOARD_WRITE_SLOT +
         4u * alignment;
}

inline u32 BoardWriteSeed(u32 lengthIndex, u32 alignment) {
  return 100u + lengthIndex * BOARD_WRITE_ALIGNMENTS + alignment;
}

/* The bytes a buffered program of length bytes leaves: whole words, the last one taken from the
   source buffer beyond length. */
inline u32 BoardProgrammedBytes(u32 length) { return (length + 3u) & ~3u; }

/* --- ranges the library must refuse, writing nothing --- */

/* Data in the last block, so that a refused write that went ahead anyway shows. */
#define BOARD_TOP_BLOCK (BOARD_FLASH_BYTES - BOARD_BLOCK_BYTES)
#define BOARD_TOP_SEED 7u

/* --- the tester bundle: written, walked by the hand-off, erased --- */

#define BOARD_BUNDLE_OFFSET 0x13C0000u
#define BOARD_BUNDLE_LENGTH 0x40000u
#define BOARD_BUNDLE_JUNK_SEED 9u /* what the region holds before the bundle is packed */

typedef struct BoardBundleFile {
  const char* Name;
  u32 Size;
  u32 Seed;
} BoardBundleFile;

static const BoardBundleFile BoardBundleFiles[] = {
    {"\\tester.ini", 37u, 11u},
    {"\\KalvoriTester.exe", 5001u, 12u},
    {"\\data\\table.bin", 64u, 13u},
};
#define BOARD_BUNDLE_FILE_COUNT (sizeof(BoardBundleFiles) / sizeof(BoardBundleFiles[0]))
#define BOARD_BUNDLE_PROGRAM 1u /* the last name that ends in .exe */

/* --- what the host writes before the run --- */

static const BoardRange BoardPrefill[] = {
    {BOARD_READ_AREA, BOARD_READ_AREA_BYTES, BOARD_READ_SEED},
    {8u * BOARD_BLOCK_BYTES, BOARD_ERASE_STRIPE, 8u},
    {9u * BOARD_BLOCK_BYTES - BOARD_ERASE_STRIPE, BOARD_ERASE_STRIPE, 8u},
    {9u * BOARD_BLOCK_BYTES, BOARD_ERASE_STRIPE, 9u},
    {10u * BOARD_BLOCK_BYTES - BOARD_ERASE_STRIPE, BOARD_ERASE_STRIPE, 9u},
    {11u * BOARD_BLOCK_BYTES, BOARD_ERASE_STRIPE, 11u},
    {12u * BOARD_BLOCK_BYTES - BOARD_ERASE_STRIPE, BOARD_ERASE_STRIPE, 11u},
    {13u * BOARD_BLOCK_BYTES, BOARD_ERASE_STRIPE, 13u},
    {14u * BOARD_BLOCK_BYTES - BOARD_ERASE_STRIPE, BOARD_ERASE_STRIPE, 13u},
    {14u * BOARD_BLOCK_BYTES, BOARD_ERASE_STRIPE, 14u},
    {15u * BOARD_BLOCK_BYTES - BOARD_ERASE_STRIPE, BOARD_ERASE_STRIPE, 14u},
    {15u * BOARD_BLOCK_BYTES, BOARD_ERASE_STRIPE, 15u},
    {16u * BOARD_BLOCK_BYTES - BOARD_ERASE_STRIPE, BOARD_ERASE_STRIPE, 15u},
    {BOARD_TOP_BLOCK, BOARD_BLOCK_BYTES - 4u, BOARD_TOP_SEED},
    {BOARD_BUNDLE_OFFSET, BOARD_BUNDLE_LENGTH, BOARD_BUNDLE_JUNK_SEED},
};
#define BOARD_PREFILL_COUNT (sizeof(BoardPrefill) / sizeof(BoardPrefill[0]))

/* --- the pins: the board has no such GPIO block, so a memory page stands in for it --- */

#define BOARD_PIN 73u

/* --- how the program reports --- */

#define BOARD_PASSED_LINE "board: every check passed"

#endif /* KALVORI_TESTS_ARM_BOARD_BOARD_PLAN_H */
