/*
 * The NOR flash driver: two 16-bit devices side by side on a 32-bit bus at physical 0, driven with
 * one command set. Device 0 owns bits 0..15 of every bus word, device 1 bits 16..31; a command is
 * written to both at once with its code in both halves.
 *
 * The flash rests in read-array mode, so a read is a plain copy out of the window. Programming,
 * erasing and unlocking write command words and poll the status; every operation that issues a
 * command ends with read array, on success and on failure.
 */
#include "flash/nor/nor.h"

#include "flash/flash_ops.h"
#include "hw/devmem.h"
#include "hw/physwin.h"

/* --- command set --- */

#define NOR_CMD_READ_ARRAY 0x00FF00FFu
#define NOR_CMD_READ_IDENTIFIER 0x00900090u
#define NOR_CMD_QUERY 0x00980098u
#define NOR_CMD_CLEAR_STATUS 0x00500050u
#define NOR_CMD_LOCK_SETUP 0x00600060u
#define NOR_CMD_CONFIRM 0x00D000D0u
#define NOR_CMD_ERASE_SETUP 0x00200020u
#define NOR_CMD_PROGRAM_SETUP 0x00400040u
#define NOR_CMD_WRITE_TO_BUFFER 0x00E800E8u

/* Status of both devices: device 0 in bits 0..7, device 1 in bits 16..23. */
#define NOR_STATUS_READY 0x00800080u         /* bit 7: the device is ready */
#define NOR_STATUS_FAILED 0x002A002Au        /* bits 5 erase, 3 voltage, 1 locked block */
#define NOR_STATUS_PROGRAM_ERROR 0x00100010u /* bit 4 */
/* A failed program shows bit 4, which the erase test does not look at. */
#define NOR_STATUS_PROGRAM_FAILED (NOR_STATUS_FAILED | NOR_STATUS_PROGRAM_ERROR)

/* --- identification --- */

#define NOR_ID_MANUFACTURER 0x00u /* word offsets in read-identifier mode */
#define NOR_ID_DEVICE_CODE 0x04u
#define NOR_ID_LOCK_STATUS 0x08u /* from the block's offset */
#define NOR_MANUFACTURER_BOTH 0x00890089u
#define NOR_DEVICE_CODE_MASK 0xFFFFu
#define NOR_LOCKED_BOTH 0x00010001u
#define NOR_QUERY_SIZE_CODE 0x9Cu /* query address 0x27 of each device */
#define NOR_SIZE_CODE_MASK 0xFFu
#define NOR_ERASED_WORD 0xFFFFFFFFu

/* --- geometry and limits --- */

#define NOR_BLOCK_BYTES 0x40000u       /* 128 KiB in each device */
#define NOR_SMALL_BLOCK_BYTES 0x10000u /* class 3 below NOR_SMALL_BLOCK_AREA: 32 KiB in each device */
#define NOR_SMALL_BLOCK_AREA 0x40000u
#define NOR_UNLOCK_FROM 0x40000u      /* the probe leaves the blocks below alone */
#define NOR_MAX_USABLE 0x4000000u     /* 64 MiB */
#define NOR_SIZE_CODE_OVERFLOW 31u    /* 2 * 2^31 does not fit 32 bits */
#define NOR_BUFFER_BYTES 64u          /* a write-buffer line: 16 bus words */
#define NOR_COUNT_BOTH 0x00010001u    /* a word count in both halves */
#define NOR_WORD_PROGRAM_LIMIT_MS 1000u
#define NOR_BUFFER_PROGRAM_LIMIT_MS 2000u
#define NOR_ERASE_LIMIT_MS 10000u
#define NOR_ERASE_POLL_MS 100u

#define NOR_CLASS_BOTTOM_BLOCKS 3u

/* The whole flash: flash offset X is the word at NorBase + X. */
DEVICE_STATE static volatile u32* NorBase = 0;

/* Device codes (device 0) and their class; any other code is class 0. */
typedef struct NorDeviceClassEntry {
    u32 DeviceCode;
    u32 DeviceClass;
} NorDeviceClassEntry;

static const NorDeviceClassEntry NorDeviceClasses[] = {
    {0x0017u, 1u}, {0x0018u, 1u}, {0x0019u, 1u}, {0x8801u, 2u}, {0x8802u, 2u},
    {0x8803u, 2u}, {0x881Au, 3u}, {0x881Bu, 3u}, {0x891Cu, 3u}, {0x8922u, 3u},
};

/* --- bus access --- */

static void NorCommand(u32 offset, u32 command)
{
    DevWrite32(DevReg(NorBase, offset), command);
}

static u32 NorReadAt(u32 offset)
{
    return DevRead32(DevReg(NorBase, offset));
}

static i32 NorIsReady(u32 status)
{
    return (status & NOR_STATUS_READY) == NOR_STATUS_READY;
}

/* Ends a program or erase at the offset: back to read array. The error bits of the status stay set
   until they are cleared, and every later operation would read them as its own failure, so a failed
   operation clears them first. */
static i32 NorEndOperation(u32 offset, i32 ok)
{
    if (!ok) NorCommand(offset, NOR_CMD_CLEAR_STATUS);
    NorCommand(offset, NOR_CMD_READ_ARRAY);
    return ok ? FLASH_OK : FLASH_FAILED;
}

/* Polls the status at the offset without sleeping until both devices are ready; 0 when the limit,
   counted from start, runs out first. */
static i32 NorPollReady(u32 offset, u32 start, u32 limitMs, u32* status)
{
    while (OsGetTickCount() - start < limitMs) {
        *status = NorReadAt(offset);
        if (NorIsReady(*status)) return 1;
    }
    return 0;
}

static u32 NorClassOf(u32 deviceCode)
{
    u32 i;
    for (i = 0; i < sizeof(NorDeviceClasses) / sizeof(NorDeviceClasses[0]); i++) {
        if (NorDeviceClasses[i].DeviceCode == deviceCode) return NorDeviceClasses[i].DeviceClass;
    }
    return 0;
}

/* --- blocks --- */

u32 NorBlockSize(u32 offset)
{
    if (FlashOps.DeviceClass == NOR_CLASS_BOTTOM_BLOCKS && offset < NOR_SMALL_BLOCK_AREA) {
        return NOR_SMALL_BLOCK_BYTES;
    }
    return NOR_BLOCK_BYTES;
}

static u32 NorBlockStart(u32 offset)
{
    return offset & ~(NorBlockSize(offset) - 1);
}

/* The block's lock status, read in identifier mode; the caller ends the mode. */
static u32 NorLockStatus(u32 block)
{
    NorCommand(block, NOR_CMD_READ_IDENTIFIER);
    return NorReadAt(block + NOR_ID_LOCK_STATUS);
}

/* 1 when the block ends up unlocked. The lock bits change at once, so there is no status wait. */
static i32 NorUnlockBlock(u32 block)
{
    u32 status = NorLockStatus(block);
    if ((status & NOR_LOCKED_BOTH) == 0) {
        NorCommand(block, NOR_CMD_READ_ARRAY);
        return 1;
    }

    NorCommand(block, NOR_CMD_LOCK_SETUP);
    NorCommand(block, NOR_CMD_CONFIRM);

    status = NorLockStatus(block);
    NorCommand(block, NOR_CMD_READ_ARRAY);
    return (status & NOR_LOCKED_BOTH) == 0;
}

static void NorUnlockAll(void)
{
    u32 offset;
    for (offset = 0; offset < FlashOps.UsableSize; offset += NorBlockSize(offset)) {
        if (offset >= NOR_UNLOCK_FROM) NorUnlockBlock(offset);
    }
}

static i32 NorBlockIsBlank(u32 block, u32 length)
{
    u32 words = length / 4;
    u32 i;
    for (i = 0; i < words; i++) {
        if (NorReadAt(block + 4 * i) != NOR_ERASED_WORD) return 0;
    }
    return 1;
}

/* --- probe --- */

i32 NorProbe(void)
{
    u32 manufacturer;
    u32 deviceCode;
    u32 sizeCode;
    u32 size;

    NorBase = MapPhysWindow(0);
    if (NorBase == 0) return FLASH_FAILED;

    NorCommand(0, NOR_CMD_READ_IDENTIFIER);
    manufacturer = NorReadAt(NOR_ID_MANUFACTURER);
    deviceCode = NorReadAt(NOR_ID_DEVICE_CODE) & NOR_DEVICE_CODE_MASK;
    if (manufacturer != NOR_MANUFACTURER_BOTH) {
        NorCommand(0, NOR_CMD_READ_ARRAY);
        return FLASH_FAILED;
    }
    FlashOps.DeviceClass = NorClassOf(deviceCode);

    NorCommand(0, NOR_CMD_QUERY);
    sizeCode = NorReadAt(NOR_QUERY_SIZE_CODE) & NOR_SIZE_CODE_MASK;
    /* One device holds 2^n bytes; a code of 31 or more leaves no size that 32 bits can hold. */
    size = sizeCode >= NOR_SIZE_CODE_OVERFLOW ? 0 : 2u << sizeCode;
    if (size > NOR_MAX_USABLE) size = NOR_MAX_USABLE;
    if (size == 0) {
        NorCommand(0, NOR_CMD_READ_ARRAY);
        return FLASH_FAILED;
    }

    /* The devices stay in query mode across the change of window. */
    UnmapPhysWindow(NorBase);
    NorBase = MapPhysRegion(0, size);
    if (NorBase == 0) {
        /* Put the devices back into read-array mode for whoever maps them next. */
        NorBase = MapPhysWindow(0);
        if (NorBase != 0) NorCommand(0, NOR_CMD_READ_ARRAY);
        return FLASH_FAILED;
    }
    /* Set only now: every range check compares against it, so nothing touches an unmapped flash. */
    FlashOps.UsableSize = size;

    NorUnlockAll();

    NorCommand(0, NOR_CMD_CLEAR_STATUS);
    NorCommand(0, NOR_CMD_READ_ARRAY);
    return FLASH_OK;
}

/* --- read --- */

u32 NorReadWord(u32 offset)
{
    if (offset >= FlashOps.UsableSize) return 0;
    return NorReadAt(offset);
}

/* A range lies wholly inside the usable size; the test is written so that it cannot wrap. */
static i32 NorRangeFits(u32 offset, u32 length)
{
    return offset < FlashOps.UsableSize && length <= FlashOps.UsableSize - offset;
}

i32 NorRead(u32* buffer, u32 offset, u32 length)
{
    if (!NorRangeFits(offset, length)) return FLASH_FAILED;
    DevCopyFrom(buffer, DevByte(NorBase, offset), length);
    return FLASH_OK;
}

/* --- program --- */

i32 NorWriteWord(u32 offset, u32 value)
{
    u32 start;
    u32 status;

    if (offset >= FlashOps.UsableSize) return FLASH_FAILED;

    NorCommand(offset, NOR_CMD_PROGRAM_SETUP);
    NorCommand(offset, value);

    start = OsGetTickCount();
    if (!NorPollReady(offset, start, NOR_WORD_PROGRAM_LIMIT_MS, &status)) return NorEndOperation(offset, 0);
    status = NorReadAt(offset);
    return NorEndOperation(offset, (status & NOR_STATUS_PROGRAM_FAILED) == 0);
}

i32 NorWrite(const u32* buffer, u32 offset, u32 length)
{
    u32 remaining;
    u32 chunk;
    const u32* source = buffer;

    if (!NorRangeFits(offset, length)) return FLASH_FAILED;

    remaining = (length + 3) & ~3u;
    if (remaining == 0) {
        NorCommand(offset, NOR_CMD_READ_ARRAY);
        return FLASH_OK;
    }
    /* Chunks are counted in whole words from a word offset; from an odd offset the room left in a
       line could hold no word at all, and the loop would never end. */
    if ((offset & 3u) != 0) return FLASH_FAILED;

    chunk = offset;
    for (;;) {
        /* A chunk never crosses a 64-byte line of the flash. */
        u32 room = NOR_BUFFER_BYTES - (chunk & (NOR_BUFFER_BYTES - 1));
        u32 bytes = remaining < NOR_BUFFER_BYTES ? remaining : NOR_BUFFER_BYTES;
        u32 words;
        u32 last;
        u32 start;
        u32 status;
        u32 i;

        if (bytes > room) bytes = room;
        words = bytes / 4;
        last = chunk + 4 * (words - 1);

        NorCommand(chunk, NOR_CMD_WRITE_TO_BUFFER);
        start = OsGetTickCount();
        /* Both waits of a chunk share one limit. */
        if (!NorPollReady(chunk, start, NOR_BUFFER_PROGRAM_LIMIT_MS, &status)) return NorEndOperation(chunk, 0);

        NorCommand(chunk, (words - 1) * NOR_COUNT_BOTH);
        for (i = 0; i < words; i++) NorCommand(chunk + 4 * i, source[i]);
        source += words;
        remaining -= 4 * words;
        NorCommand(last, NOR_CMD_CONFIRM);

        if (!NorPollReady(chunk, start, NOR_BUFFER_PROGRAM_LIMIT_MS, &status) ||
            (status & NOR_STATUS_PROGRAM_FAILED) != 0) {
            return NorEndOperation(chunk, 0);
        }

        if (remaining == 0) break;
        chunk += 4 * words;
    }
    NorCommand(chunk, NOR_CMD_READ_ARRAY);
    return FLASH_OK;
}

/* --- erase --- */

/* Erases the unlocked block; the erase takes up to seconds, so the wait sleeps between polls. */
static i32 NorEraseBlock(u32 block)
{
    u32 start;
    u32 status;

    NorCommand(block, NOR_CMD_ERASE_SETUP);
    NorCommand(block, NOR_CMD_CONFIRM);
    start = OsGetTickCount();

    status = NorReadAt(block);
    while (!NorIsReady(status)) {
        if (OsGetTickCount() - start >= NOR_ERASE_LIMIT_MS) return NorEndOperation(block, 0);
        OsSleep(NOR_ERASE_POLL_MS);
        status = NorReadAt(block);
    }
    status = NorReadAt(block);
    return NorEndOperation(block, (status & NOR_STATUS_FAILED) == 0);
}

i32 NorEraseRange(u32 offset, u32 length)
{
    u32 start = NorBlockStart(offset);
    u32 widened;
    u32 rounding;
    u32 total;
    u32 done;
    u32 next;
    u32 remaining;

    /* Nothing of the range may lie at or beyond 2^32, the widened range included. */
    if (length > 0xFFFFFFFFu - offset) return FLASH_FAILED;
    widened = length + (offset - start);

    if (FlashOps.DeviceClass == NOR_CLASS_BOTTOM_BLOCKS && offset + length < NOR_SMALL_BLOCK_AREA) {
        rounding = NOR_SMALL_BLOCK_BYTES;
    } else {
        rounding = NOR_BLOCK_BYTES;
    }
    if (widened > 0xFFFFFFFFu - (rounding - 1)) return FLASH_FAILED;
    total = (widened + rounding - 1) & ~(rounding - 1);

    /* A range that starts in a small block above 0 and ends in or beyond the first large block is
       no whole number of large blocks: it covers the blocks up to the one that holds its last
       byte, and no more. */
    if (FlashOps.DeviceClass == NOR_CLASS_BOTTOM_BLOCKS && start != 0 && start < NOR_SMALL_BLOCK_AREA &&
        offset + length >= NOR_SMALL_BLOCK_AREA) {
        u32 lastByte = offset + length - 1;
        total = NorBlockStart(lastByte) + NorBlockSize(lastByte) - start;
    }

    if (start > FlashOps.UsableSize || total > FlashOps.UsableSize - start) return FLASH_FAILED;
    if (total == 0) return FLASH_OK;

    done = 0;
    next = 0;
    remaining = total;
    for (;;) {
        FlashProgressFn progress = FlashOps.Progress;
        u32 block;

        if (progress != 0 && done >= next) {
            if (!progress(done, total)) return FLASH_FAILED;
            next += FlashOps.ProgressStep;
        }
        block = NorBlockSize(start);

        if (!NorUnlockBlock(start)) return FLASH_FAILED;
        /* A block that already reads blank is not erased. */
        if (!NorBlockIsBlank(start, block) && !NorEraseBlock(start)) return FLASH_FAILED;

        if (remaining <= block) return FLASH_OK;
        start += block;
        done += block;
        remaining -= block;
    }
}
