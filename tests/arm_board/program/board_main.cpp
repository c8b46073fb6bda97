/*
 * The flash library on an emulated ARM board: the checks the board program makes through FlashOps,
 * on the device code built unchanged for the board's core. Each failed check prints a line; the
 * last line says whether every check passed, and so does the run's exit status. What the flash
 * holds afterwards is checked byte for byte by the host (tests/arm_board/arm_board_test.cpp).
 *
 * QEMU's flash model is not the module's part: it has no lock bits (every block reads unlocked),
 * its write buffer takes far more than the 16 words a chunk of ours may hold, and a program
 * overwrites instead of clearing bits. The checks rely only on what the devices' contract
 * guarantees: every program lands on erased flash, and the size and line of every buffered program
 * are checked by the host against the devices' buffer from QEMU's trace of the flash accesses.
 */
#include "flash/flash_ops.h"
#include "hw/pins.h"
#include "tester/tester.h"
#include "tests/arm_board/board_plan.h"
#include "tests/arm_board/program/board_platform.h"

#define ERASED_BYTE 0xFFu
#define CANARY_BYTE 0xA5u
#define CANARY_BYTES 8u
#define PROGRESS_CALLS 8u

static u32 Checks = 0;
static u32 Failures = 0;

static i32 Check(i32 ok, u32 line, const WChar* what)
{
    Checks++;
    if (!ok) {
        Failures++;
        OsDebugPrintf(WSTR("FAIL board_main.cpp:%u: %s\r\n"), line, what);
    }
    return ok;
}

#define CHECK(condition) Check((condition) ? 1 : 0, __LINE__, WSTR(#condition))

/* Word-aligned buffers, as FlashOps wants them. */
static u32 ReadWords[(BOARD_WRITE_MAX + 2u * CANARY_BYTES) / 4u + 1u];
static u32 SourceWords[BOARD_WRITE_MAX / 4u + 1u];

static u8* ReadBytes(void)
{
    return (u8*)(void*)ReadWords;
}

/* Bytes at buffer compared with the plan's pattern for the flash range (seed 0: erased); the first
   difference is printed. */
static i32 MatchesPlan(const u8* bytes, u32 offset, u32 length, u32 seed, u32 line)
{
    u32 i;
    for (i = 0; i < length; i++) {
        u8 expected = seed == 0 ? (u8)ERASED_BYTE : BoardPatternByte(offset + i, seed);
        if (bytes[i] != expected) {
            OsDebugPrintf(WSTR("  flash offset 0x%x: read 0x%x, expected 0x%x\r\n"), offset + i, bytes[i],
                          expected);
            return Check(0, line, WSTR("the flash holds what the plan says"));
        }
    }
    return Check(1, line, WSTR(""));
}

/* Reads the flash range in pieces through FlashOps.Read and compares it with the plan. */
static void CheckFlash(u32 offset, u32 length, u32 seed, u32 line)
{
    while (length > 0) {
        u32 piece = length < BOARD_WRITE_MAX ? length : BOARD_WRITE_MAX;
        if (!Check(FlashOps.Read(ReadWords, offset, piece), line, WSTR("FlashOps.Read"))) return;
        if (!MatchesPlan(ReadBytes(), offset, piece, seed, line)) return;
        offset += piece;
        length -= piece;
    }
}

/* --- probe --- */

static void CheckProbe(void)
{
    CHECK(FlashInit() == (i32)FLASH_TYPE_NOR);
    CHECK(FlashOps.FlashType == FLASH_TYPE_NOR);
    CHECK(FlashOps.DeviceClass == BOARD_DEVICE_CLASS);
    CHECK(FlashOps.UsableSize == BOARD_FLASH_BYTES);
    CHECK(FlashOps.GetPageSize == 0);
    CHECK(FlashOps.Read != 0 && FlashOps.Write != 0 && FlashOps.WriteWord != 0 && FlashOps.Erase != 0 &&
          FlashOps.ReadWord != 0 && FlashOps.GetBlockSize != 0);
    /* A second start does not probe again. */
    CHECK(FlashInit() == 1);
    /* The probe leaves the devices reading their array. */
    CheckFlash(BOARD_READ_AREA, 64, BOARD_READ_SEED, __LINE__);
    /* The probe's windows: the identification page is released, the whole flash stays mapped. */
    CHECK(BoardLiveReservations() == 1);
}

static void CheckGeometry(void)
{
    CHECK(FlashOps.GetBlockSize(0) == BOARD_BLOCK_BYTES);
    CHECK(FlashOps.GetBlockSize(BOARD_BLOCK_BYTES - 1) == BOARD_BLOCK_BYTES);
    CHECK(FlashOps.GetBlockSize(BOARD_BLOCK_BYTES) == BOARD_BLOCK_BYTES);
    CHECK(FlashOps.GetBlockSize(BOARD_FLASH_BYTES - 4) == BOARD_BLOCK_BYTES);
}

/* --- reads --- */

static void CheckReads(void)
{
    u32 o;
    u32 l;
    u32 w;
    for (o = 0; o < sizeof(BoardReadOffsets) / sizeof(BoardReadOffsets[0]); o++) {
        for (l = 0; l < sizeof(BoardReadLengths) / sizeof(BoardReadLengths[0]); l++) {
            u32 offset = BOARD_READ_AREA + BoardReadOffsets[o];
            u32 length = BoardReadLengths[l];
            u32 i;
            i32 canaryIntact = 1;
            for (i = 0; i < length + CANARY_BYTES; i++) ReadBytes()[i] = CANARY_BYTE;
            CHECK(FlashOps.Read(ReadWords, offset, length));
            MatchesPlan(ReadBytes(), offset, length, BOARD_READ_SEED, __LINE__);
            /* Not a byte past the length. */
            for (i = length; i < length + CANARY_BYTES; i++) canaryIntact &= ReadBytes()[i] == CANARY_BYTE;
            CHECK(canaryIntact);
        }
    }
    for (w = 0; w < 16; w++) {
        u32 offset = BOARD_READ_AREA + 4u * w;
        u32 expected = (u32)BoardPatternByte(offset, BOARD_READ_SEED) |
                       (u32)BoardPatternByte(offset + 1, BOARD_READ_SEED) << 8 |
                       (u32)BoardPatternByte(offset + 2, BOARD_READ_SEED) << 16 |
                       (u32)BoardPatternByte(offset + 3, BOARD_READ_SEED) << 24;
        CHECK(FlashOps.ReadWord(offset) == expected);
    }
}

/* --- ranges the library refuses --- */

static u32 ProgressCalls = 0;
static u32 ProgressDone[PROGRESS_CALLS];
static u32 ProgressTotal[PROGRESS_CALLS];
static i32 ProgressAnswer = 1;

static i32 RecordProgress(u32 done, u32 total)
{
    if (ProgressCalls < PROGRESS_CALLS) {
        ProgressDone[ProgressCalls] = done;
        ProgressTotal[ProgressCalls] = total;
    }
    ProgressCalls++;
    return ProgressAnswer;
}

static void CheckRefusals(void)
{
    u32 top = FlashOps.UsableSize;
    SourceWords[0] = 0;
    SourceWords[1] = 0;

    CHECK(FlashOps.ReadWord(top) == 0);
    CHECK(FlashOps.Read(ReadWords, top - 1, 1) && ReadBytes()[0] == ERASED_BYTE);
    CHECK(!FlashOps.Read(ReadWords, top - 1, 2));
    CHECK(!FlashOps.Read(ReadWords, top, 0));
    CHECK(!FlashOps.Read(ReadWords, 0xFFFFFFFCu, 8));
    CHECK(!FlashOps.Write(SourceWords, top - 4, 8));
    CHECK(!FlashOps.Write(SourceWords, top, 4));
    CHECK(!FlashOps.Write(SourceWords, 0xFFFFFFFCu, 8));
    CHECK(!FlashOps.WriteWord(top, 0));

    ProgressCalls = 0;
    FlashOps.Progress = RecordProgress;
    FlashOps.ProgressStep = 0;
    CHECK(!FlashOps.Erase(top - BOARD_BLOCK_BYTES, BOARD_BLOCK_BYTES + 1));
    CHECK(!FlashOps.Erase(0xFFFFFFF0u, 0x20));
    CHECK(ProgressCalls == 0);
    FlashOps.Progress = 0;

    /* Nothing of it reached the flash. */
    CheckFlash(BOARD_TOP_BLOCK, BOARD_BLOCK_BYTES - 4, BOARD_TOP_SEED, __LINE__);
    CheckFlash(top - 4, 4, 0, __LINE__);
}

/* --- erases --- */

static void CheckStripes(u32 block, u32 seed, u32 line)
{
    u32 start = block * BOARD_BLOCK_BYTES;
    CheckFlash(start, BOARD_ERASE_STRIPE, seed, line);
    CheckFlash(start + BOARD_BLOCK_BYTES - BOARD_ERASE_STRIPE, BOARD_ERASE_STRIPE, seed, line);
}

static void CheckErases(void)
{
    u32 block;
    u32 total = 5u * BOARD_BLOCK_BYTES;

    /* A hook that says stop before the first block: nothing is erased. */
    ProgressCalls = 0;
    ProgressAnswer = 0;
    FlashOps.Progress = RecordProgress;
    FlashOps.ProgressStep = 0;
    CHECK(!FlashOps.Erase(13u * BOARD_BLOCK_BYTES, BOARD_BLOCK_BYTES));
    CHECK(ProgressCalls == 1);
    CheckStripes(13, 13, __LINE__);

    /* From inside block 8 to inside block 12, the hook every second block. */
    ProgressCalls = 0;
    ProgressAnswer = 1;
    FlashOps.ProgressStep = BOARD_ERASE_STEP;
    CHECK(FlashOps.Erase(BOARD_ERASE_OFFSET, BOARD_ERASE_LENGTH));
    CHECK(ProgressCalls == 3);
    CHECK(ProgressDone[0] == 0 && ProgressDone[1] == 2u * BOARD_BLOCK_BYTES &&
          ProgressDone[2] == 4u * BOARD_BLOCK_BYTES);
    CHECK(ProgressTotal[0] == total && ProgressTotal[1] == total && ProgressTotal[2] == total);
    FlashOps.Progress = 0;
    FlashOps.ProgressStep = 0;
    for (block = BOARD_ERASE_FIRST_BLOCK; block <= BOARD_ERASE_LAST_BLOCK; block++)
        CheckStripes(block, 0, __LINE__);
    CheckStripes(13, 13, __LINE__);

    /* Length 0: the block that holds an unaligned offset, nothing at an aligned one. */
    CHECK(FlashOps.Erase(BOARD_ERASE_INSIDE_14, 0));
    CheckStripes(14, 0, __LINE__);
    CHECK(FlashOps.Erase(BOARD_ERASE_START_15, 0));
    CheckStripes(15, 15, __LINE__);
}

/* --- word programs --- */

static void CheckWordPrograms(void)
{
    u32 i;
    for (i = 0; i < sizeof(BoardWords) / sizeof(BoardWords[0]); i++) {
        CHECK(FlashOps.ReadWord(BoardWords[i].Offset) == 0xFFFFFFFFu);
        CHECK(FlashOps.WriteWord(BoardWords[i].Offset, BoardWords[i].Value));
        CHECK(FlashOps.ReadWord(BoardWords[i].Offset) == BoardWords[i].Value);
    }
    CHECK(FlashOps.ReadWord(0x400014u) == 0xFFFFFFFFu);
}

/* --- buffered programs --- */

static void CheckBufferedPrograms(void)
{
    u32 l;
    u32 a;
    for (l = 0; l < BOARD_WRITE_LENGTH_COUNT; l++) {
        for (a = 0; a < BOARD_WRITE_ALIGNMENTS; a++) {
            u32 offset = BoardWriteOffset(l, a);
            u32 seed = BoardWriteSeed(l, a);
            u32 length = BoardWriteLengths[l];
            u32 programmed = BoardProgrammedBytes(length);
            u8* source = (u8*)(void*)SourceWords;
            u32 i;
            for (i = 0; i < programmed; i++) source[i] = BoardPatternByte(offset + i, seed);
            if (!CHECK(FlashOps.Write(SourceWords, offset, length))) {
                OsDebugPrintf(WSTR("  write of %u bytes at 0x%x\r\n"), length, offset);
                continue;
            }
            CheckFlash(offset, programmed, seed, __LINE__);
            /* Nothing before the range or after its last word. */
            CheckFlash(offset - 4, 4, 0, __LINE__);
            CheckFlash(offset + programmed, 4, 0, __LINE__);
        }
    }
}

/* --- pins --- */

static void CheckPins(void)
{
    volatile u32* gpio = BoardGpioStandIn();
    u32 reservations = BoardLiveReservations();
    u32 functionRegister = 0x54u / 4u + BOARD_PIN / 16u;
    u32 shift = 2u * (BOARD_PIN % 16u);
    u32 bank = BOARD_PIN / 32u;
    u32 bit = 1u << (BOARD_PIN % 32u);

    gpio[functionRegister] = 0xFFFFFFFFu;
    DrivePinHigh(BOARD_PIN);
    /* The NOR module's plain layout: function 0 in the pin's field, an output, driven high. */
    CHECK(gpio[functionRegister] == ~(3u << shift));
    CHECK(gpio[0x0Cu / 4u + bank] == bit);
    CHECK(gpio[0x18u / 4u + bank] == bit);
    CHECK(gpio[0x24u / 4u + bank] == 0);
    /* The windows are released again. */
    CHECK(BoardLiveReservations() == reservations);
}

/* --- the tester bundle: written, walked by the hand-off, erased --- */

static u32 BundleWords[(BOARD_BUNDLE_FILE_COUNT * (TESTER_NAME_BYTES + 8u) + 6000u) / 4u];

static u32 PackBundle(void)
{
    u8* bundle = (u8*)(void*)BundleWords;
    u32 at = 0;
    u32 f;
    for (f = 0; f < BOARD_BUNDLE_FILE_COUNT; f++) {
        TesterRecordHeader* header = (TesterRecordHeader*)(void*)(bundle + at);
        const BoardBundleFile* file = &BoardBundleFiles[f];
        u32 padded = (file->Size + 3u) & ~3u;
        u32 i;
        header->Magic = TESTER_RECORD_MAGIC;
        for (i = 0; i < TESTER_NAME_BYTES; i++) header->Name[i] = 0;
        for (i = 0; file->Name[i]; i++) header->Name[i] = file->Name[i];
        header->PayloadSize = file->Size;
        at += sizeof(TesterRecordHeader);
        for (i = 0; i < padded; i++) bundle[at + i] = i < file->Size ? BoardPatternByte(i, file->Seed) : 0;
        at += padded;
    }
    return at;
}

static i32 DebugTextHas(const char* line)
{
    const char* text = BoardDebugText();
    u32 i;
    for (; *text; text++) {
        for (i = 0; line[i] && text[i] == line[i]; i++) {
        }
        if (line[i] == 0) return 1;
    }
    return 0;
}

static void CheckBundleCycle(void)
{
    u32 bytes;
    u32 f;
    u32 arena = BoardArenaInUse();

    /* Packed as the tools do it: the region erased, then the records written. */
    CHECK(FlashOps.Erase(BOARD_BUNDLE_OFFSET, BOARD_BUNDLE_LENGTH));
    CheckFlash(BOARD_BUNDLE_OFFSET, 4096, 0, __LINE__);
    bytes = PackBundle();
    CHECK(FlashOps.Write(BundleWords, BOARD_BUNDLE_OFFSET, bytes));

    BoardClearDebugText();
    BoardSetBootItem12(BOOT_TESTER_FLAG);
    RunTesterHandOff();

    CHECK(DebugTextHas("Looking for KalvoriTester...\r\n"));
    CHECK(DebugTextHas("Found \\tester.ini\r\n"));
    CHECK(DebugTextHas("Found \\KalvoriTester.exe\r\n"));
    CHECK(DebugTextHas("Launching \\KalvoriTester.exe\r\n"));
    CHECK(!DebugTextHas("ERROR"));

    /* Every file, whole. */
    CHECK(BoardFileCount() == BOARD_BUNDLE_FILE_COUNT);
    for (f = 0; f < BOARD_BUNDLE_FILE_COUNT; f++) {
        WChar name[TESTER_NAME_BYTES];
        const u8* data;
        u32 size = 0;
        u32 i;
        i32 same = 1;
        OsFormat(name, TESTER_NAME_BYTES, WSTR("%S"), BoardBundleFiles[f].Name);
        data = BoardFileData(name, &size);
        if (!CHECK(data != 0 && size == BoardBundleFiles[f].Size)) continue;
        for (i = 0; i < size; i++) same &= data[i] == BoardPatternByte(i, BoardBundleFiles[f].Seed);
        CHECK(same);
    }
    CHECK(BoardStartedCount() == 1 && OsStrICmp(BoardStarted(0), WSTR("\\KalvoriTester.exe")) == 0);
    /* The region is erased, and nothing the hand-off took is left over. */
    CheckFlash(BOARD_BUNDLE_OFFSET, bytes + 4, 0, __LINE__);
    CHECK(BoardOpenHandles() == 0);
    CHECK(BoardBadHandleCloses() == 0);
    CHECK(BoardArenaInUse() == arena);
    CHECK(BoardBadFrees() == 0);
}

extern "C" void BoardMain(void)
{
    u32 mainId;
    BoardStartPlatform();
    mainId = BoardCoreMainId();
    OsDebugPrintf(WSTR("board: core main ID 0x%x, presented as product %u\r\n"), mainId,
                  (OsReadCpuMainId() >> 4) & 0x3Fu);

    CheckProbe();
    CheckGeometry();
    CheckReads();
    CheckRefusals();
    CheckErases();
    CheckWordPrograms();
    CheckBufferedPrograms();
    CheckPins();
    CheckBundleCycle();

    OsDebugPrintf(WSTR("board: %u checks, %u failed\r\n"), Checks, Failures);
    if (Failures == 0) OsDebugPrintf(WSTR("%S\r\n"), BOARD_PASSED_LINE);
    BoardExit(Failures == 0);
}
