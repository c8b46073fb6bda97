/*
 * The bad-block map and remapped NAND reads. Every offset a client passes on a NAND module is
 * logical: it is turned, block by block, into a physical offset through the map that the operating
 * system's flash driver shares as "NAND_FLASH_BBMT". The map is built from the table in block 0 that
 * lists the logical blocks whose data moved to a spare at the top of the chip.
 */
#include "flash/bbmt/bbmt.h"

#include "flash/bbmt/bbmt_internal.h"
#include "flash/flash_ops.h"
#include "flash/nand/nand.h"

/* --- module state --- */

DEVICE_STATE u32 BbmtTableOffset = 0;
DEVICE_STATE u32 BbmtTableLength = 0;
DEVICE_STATE u32 BbmtReservedBlocks = 0;
DEVICE_STATE u32 BbmtTableCopy[BBMT_TABLE_COPY_BYTES / 4];

/* The mapped shared region, in words (a view starts on a page); its handle and view stay open
   until the process ends. */
DEVICE_STATE static u32* BbmtRegion = 0;
/* Set once this process's probe has found the chip. A map that another user signed does not make an
   unprobed controller safe to drive. */
DEVICE_STATE static i32 BbmtProbed = 0;
/* Set once this process has checked the table on flash; BbmtRefused then names the logical blocks
   whose last entry cannot be used, which nothing may write. */
DEVICE_STATE static i32 BbmtTableChecked = 0;
DEVICE_STATE static u32 BbmtRefused[BBMT_MAP_ENTRIES / 32];

/* Where the table lives and which DeviceClass the chip reports, by chip ID. */
typedef struct BbmtChipTable {
    u32 ChipId;
    u32 DeviceClass;
    u32 TableOffset;
    u32 TableLength;
} BbmtChipTable;

static const BbmtChipTable BbmtChips[] = {
    {0x75ECu, 1, 0x3E00u, 512},     {0x76ECu, 1, 0x3E00u, 512},     {0xF1ECu, 1, 0x1F800u, 2048},
    {0xD3ECu, 2, 0x1F800u, 2048},   {0xDCADu, 3, 0x1F800u, 2048},
};

#define BBMT_CHIP_COUNT (sizeof(BbmtChips) / sizeof(BbmtChips[0]))
#define BBMT_CHIP_ID_MASK 0xFFFFu
#define BBMT_RESERVED_DIVISOR 50u

/* --- the shared map --- */

static u32* BbmtSignatureWord(void)
{
    return BbmtRegion;
}

OS_COMPILE_CHECK(BbmtCheckMapOffset, BBMT_MAP_OFFSET % 4 == 0);

static u16* BbmtMapEntries(void)
{
    return (u16*)(BbmtRegion + BBMT_MAP_OFFSET / 4);
}

i32 BbmtMapReady(void)
{
    return BbmtRegion != 0 && BbmtProbed && *BbmtSignatureWord() == BBMT_SIGNATURE;
}

u32 BbmtMapEntry(u32 logicalBlock)
{
    /* Beyond the region there is no entry: such a block maps to itself. */
    if (BbmtRegion == 0 || logicalBlock >= BBMT_MAP_ENTRIES) return logicalBlock;
    return BbmtMapEntries()[logicalBlock];
}

void BbmtSetMapEntry(u32 logicalBlock, u32 physicalBlock)
{
    if (BbmtRegion == 0 || logicalBlock >= BBMT_MAP_ENTRIES) return;
    BbmtMapEntries()[logicalBlock] = (u16)physicalBlock;
}

i32 BbmtTargetPossible(u32 logicalBlock, u32 physicalBlock)
{
    u32 blocks = NandBlockCount();
    if (physicalBlock >= blocks) return 0;
    if (physicalBlock == logicalBlock) return 1;
    return physicalBlock != 0 && physicalBlock >= blocks - BbmtReservedBlocks;
}

u32 BbmtBlockShift(void)
{
    u32 size = NandBlockSize();
    u32 shift = 0;
    while (shift < 31 && ((u32)1 << shift) < size) shift++;
    return shift;
}

/* --- BbmtTableCopy (little-endian 16-bit fields) --- */

u32 BbmtHalfAt(const u32* table, u32 byteOffset)
{
    const u8* t = (const u8*)table;
    return (u32)t[byteOffset] | ((u32)t[byteOffset + 1] << 8);
}

void BbmtSetHalfAt(u32* table, u32 byteOffset, u32 value)
{
    u8* t = (u8*)table;
    t[byteOffset] = (u8)(value & 0xFF);
    t[byteOffset + 1] = (u8)((value >> 8) & 0xFF);
}

static u32 TableHalf(u32 byteOffset)
{
    return BbmtHalfAt(BbmtTableCopy, byteOffset);
}

static void TableSetHalf(u32 byteOffset, u32 value)
{
    BbmtSetHalfAt(BbmtTableCopy, byteOffset, value);
}

u32 BbmtTableSlots(void)
{
    u32 length = BbmtTableLength;
    if (length > BBMT_TABLE_COPY_BYTES) length = BBMT_TABLE_COPY_BYTES;
    if (length < BBMT_TABLE_HEADER_BYTES) return 0;
    return (length - BBMT_TABLE_HEADER_BYTES) / BBMT_ENTRY_BYTES;
}

u32 BbmtTableEntryCount(void)
{
    /* A table without an end marker counts only the slots it has. */
    u32 slots = BbmtTableSlots();
    u32 k = 0;
    while (k < slots && BbmtTableLogicalBlock(k) != BBMT_ENTRY_END) k++;
    return k;
}

u32 BbmtTableLogicalBlock(u32 entry)
{
    return TableHalf(BBMT_TABLE_HEADER_BYTES + entry * BBMT_ENTRY_BYTES);
}

u32 BbmtTableReplacementBlock(u32 entry)
{
    return TableHalf(BBMT_TABLE_HEADER_BYTES + entry * BBMT_ENTRY_BYTES + 2);
}

void BbmtTableSetEntry(u32 entry, u32 logicalBlock, u32 replacementBlock)
{
    if (entry >= BbmtTableSlots()) return;
    TableSetHalf(BBMT_TABLE_HEADER_BYTES + entry * BBMT_ENTRY_BYTES, logicalBlock);
    TableSetHalf(BBMT_TABLE_HEADER_BYTES + entry * BBMT_ENTRY_BYTES + 2, replacementBlock);
}

u32 BbmtTableMagic(void)
{
    return TableHalf(0);
}

/* --- checks of the table's entries --- */

BbmtEntryCheck BbmtCheckEntry(u32 entry)
{
    u32 blocks = NandBlockCount();
    u32 logical = BbmtTableLogicalBlock(entry);
    u32 replacement = BbmtTableReplacementBlock(entry);
    u32 k;

    if (logical == BBMT_ENTRY_RETIRED) return BBMT_ENTRY_IS_RETIRED;
    if (replacement == BBMT_ENTRY_END) return BBMT_ENTRY_INCOMPLETE;
    if (logical >= blocks) return BBMT_ENTRY_BLOCK_OUTSIDE;
    if (replacement >= blocks) return BBMT_ENTRY_TARGET_OUTSIDE;
    if (replacement == 0) return BBMT_ENTRY_TARGET_TABLE;
    if (replacement < blocks - BbmtReservedBlocks) return BBMT_ENTRY_TARGET_NOT_SPARE;
    /* A block once recorded as a replacement is never handed out again, retired or not. */
    for (k = 0; k < entry; k++) {
        if (BbmtTableReplacementBlock(k) == replacement) return BBMT_ENTRY_TARGET_TAKEN;
    }
    return BBMT_ENTRY_USABLE;
}

static const WChar* BbmtCheckReason(BbmtEntryCheck check)
{
    switch (check) {
    case BBMT_ENTRY_INCOMPLETE: return WSTR("its replacement block was never written");
    case BBMT_ENTRY_BLOCK_OUTSIDE: return WSTR("the block lies beyond the chip");
    case BBMT_ENTRY_TARGET_OUTSIDE: return WSTR("its replacement block lies beyond the chip");
    case BBMT_ENTRY_TARGET_TABLE: return WSTR("its replacement block is block 0, which holds the table");
    case BBMT_ENTRY_TARGET_NOT_SPARE: return WSTR("its replacement block is not a spare block");
    case BBMT_ENTRY_TARGET_TAKEN: return WSTR("its replacement block is taken by an earlier entry");
    default: break;
    }
    return WSTR("");
}

static void BbmtSetRefused(u32 logicalBlock, i32 refused)
{
    u32 bit = (u32)1 << (logicalBlock % 32);
    if (logicalBlock >= BBMT_MAP_ENTRIES) return;
    if (refused) {
        BbmtRefused[logicalBlock / 32] |= bit;
    } else {
        BbmtRefused[logicalBlock / 32] &= ~bit;
    }
}

void BbmtCheckTable(i32 map)
{
    u32 blocks = NandBlockCount();
    u32 count = BbmtTableEntryCount();
    u32 i;

    for (i = 0; i < BBMT_MAP_ENTRIES / 32; i++) BbmtRefused[i] = 0;
    if (map) {
        for (i = 0; i < blocks; i++) BbmtSetMapEntry(i, i);
    }
    for (i = 0; i < count; i++) {
        u32 logical = BbmtTableLogicalBlock(i);
        BbmtEntryCheck check = BbmtCheckEntry(i);
        if (check == BBMT_ENTRY_IS_RETIRED) continue;
        if (check == BBMT_ENTRY_USABLE) {
            /* The later entry wins, and it takes back a refusal an earlier one caused. */
            if (map) BbmtSetMapEntry(logical, BbmtTableReplacementBlock(i));
            BbmtSetRefused(logical, 0);
            continue;
        }
        OsDebugPrintf(WSTR("Bad-block table entry %u (block %u to block %u) not used: %s\r\n"), i, logical,
                      BbmtTableReplacementBlock(i), BbmtCheckReason(check));
        /* An append that never finished moved no data: the block's earlier place stays right. */
        if (check != BBMT_ENTRY_INCOMPLETE && logical < blocks) BbmtSetRefused(logical, 1);
    }
    BbmtTableChecked = 1;
}

i32 BbmtWriteRefused(u32 logicalBlock)
{
    if (!BbmtTableChecked) {
        /* The map came from another user: the table is read and checked once, the map left alone. A
           table that cannot be read refuses nothing here; a replacement needs it and fails then. */
        BbmtTableChecked = 1;
        if (BbmtReadAs(BbmtTableCopy, BbmtTableOffset, BbmtTableLength, BBMT_RAW_TABLE_ACCESS) &&
            BbmtTableMagic() == BBMT_TABLE_MAGIC) {
            BbmtCheckTable(0);
        }
    }
    if (logicalBlock >= BBMT_MAP_ENTRIES) return 0;
    return (BbmtRefused[logicalBlock / 32] >> (logicalBlock % 32)) & 1;
}

/* --- initialisation --- */

static void BbmtSelectChip(u32 chipId)
{
    u32 i;
    for (i = 0; i < BBMT_CHIP_COUNT; i++) {
        if (BbmtChips[i].ChipId == chipId) {
            FlashOps.DeviceClass = BbmtChips[i].DeviceClass;
            BbmtTableOffset = BbmtChips[i].TableOffset;
            BbmtTableLength = BbmtChips[i].TableLength;
            return;
        }
    }
    /* Any other chip: class 0, the table's place left as it was. */
    FlashOps.DeviceClass = 0;
}

i32 BbmtInit(void)
{
    OsHandle mapping;
    i32 build;
    u32 id = 0;
    u32 blocks;

    /* The shared map, created or opened; without it nothing below may touch the region. */
    if (BbmtRegion == 0) {
        mapping = OsCreateFileMapping(OS_INVALID_HANDLE, 0, OS_PAGE_READWRITE, 0, BBMT_REGION_BYTES,
                                      WSTR("NAND_FLASH_BBMT"));
        if (mapping == 0 || mapping == OS_INVALID_HANDLE) return FLASH_FAILED;
        BbmtRegion = (u32*)OsMapViewOfFile(mapping, OS_FILE_MAP_ALL_ACCESS, 0, 0, 0);
        if (BbmtRegion == 0) {
            OsCloseHandle(mapping);
            return FLASH_FAILED;
        }
    }

    /* Nobody has built the map: nobody has set the controller up either. */
    BbmtProbed = 0;
    BbmtTableChecked = 0;
    build = *BbmtSignatureWord() != BBMT_SIGNATURE;
    if (NandProbe(build) != NAND_OK) return FLASH_FAILED;

    NandReadId(&id);
    BbmtSelectChip(id & BBMT_CHIP_ID_MASK);

    /* The map has no room for more blocks than the largest chip has. */
    blocks = NandBlockCount();
    if (blocks == 0 || blocks > BBMT_MAP_ENTRIES) return FLASH_FAILED;
    BbmtReservedBlocks = blocks / BBMT_RESERVED_DIVISOR;
    FlashOps.UsableSize = (blocks - BbmtReservedBlocks) * NandBlockSize();
    BbmtProbed = 1;

    /* The table's read: its status is not looked at, the magic decides. */
    if (BbmtTableLength != 0) NandReadPage(BbmtTableCopy, BbmtTableOffset, BbmtTableLength);

    /* An erase of block 0 that the power cut short left the table's copy in a free spare: the table
       is put back from it before anyone uses the table in block 0, which may be torn. */
    if (!BbmtRecoverTable(!build)) return FLASH_FAILED;

    /* A map someone else built is used as it stands. */
    if (!build) return FLASH_OK;
    if (BbmtTableMagic() != BBMT_TABLE_MAGIC) return FLASH_FAILED;

    /* The map is valid from the signature on: signature, identity, then the table's usable entries. */
    *BbmtSignatureWord() = BBMT_SIGNATURE;
    BbmtCheckTable(1);
    return FLASH_OK;
}

/* --- translation --- */

u32 LogicalToPhysical(u32 offset)
{
    /* The block the map names, at the same place within the block (modulo 2^32). */
    u32 shift = BbmtBlockShift();
    u32 block = offset >> shift;
    return (BbmtMapEntry(block) << shift) + (offset & (((u32)1 << shift) - 1));
}

i32 BbmtFormChunk(u32 offset, u32 remaining, BbmtAccess access, BbmtChunk* chunk)
{
    u32 shift = BbmtBlockShift();
    u32 blockSize = (u32)1 << shift;
    u32 blocks = NandBlockCount();
    u32 n = blockSize - (offset & (blockSize - 1));
    u32 at = offset;
    u32 t = BbmtTableOffset;
    u32 s = BbmtTableLength;

    if (n > remaining) n = remaining;

    /* The table-area rule. It looks at the logical offset, which in blocks 0 and 1 is the physical
       one while they map to themselves; so the view of the first 256 KiB stays the same when block 1
       is replaced, and a transfer that runs on beyond a cut or a split is moved only once. */
    if (access == BBMT_CLIENT_ACCESS) {
        if (NandPageSize() != BBMT_LARGE_PAGE) {
            /* The table is a hole in the logical space: refused, or cut at its first byte. What
               follows a cut begins inside the table and is refused in turn. */
            if (offset >= t && offset - t < s) return FLASH_FAILED;
            if (offset < t && t - offset < n) n = t - offset;
        } else {
            /* The first 256 KiB are seen without the table's page. */
            if (offset < BBMT_FIRST_AREA_END && offset + n > BBMT_LAST_PAGE_OF_AREA) return FLASH_FAILED;
            if (offset < t && t - offset < n) {
                n = t - offset; /* the bytes before the table go on their own */
            } else if (offset >= t && offset < BBMT_LAST_PAGE_OF_AREA) {
                at = offset + s; /* moved one table length further on */
            }
        }
    }

    /* Blocks the chip does not have are never addressed, whatever the map says. */
    if ((at >> shift) >= blocks) return FLASH_FAILED;
    chunk->Offset = at;
    chunk->Physical = LogicalToPhysical(at);
    chunk->Length = n;
    if ((chunk->Physical >> shift) >= blocks) return FLASH_FAILED;
    return FLASH_OK;
}

/* --- remapped reads --- */

i32 BbmtRead(u32* buffer, u32 offset, u32 length)
{
    return BbmtReadAs(buffer, offset, length, BBMT_CLIENT_ACCESS);
}

i32 BbmtReadAs(u32* buffer, u32 offset, u32 length, BbmtAccess access)
{
    BbmtChunk chunk;
    i32 status;
    i32 tries;

    if (!BbmtMapReady()) return FLASH_FAILED;
    if (((offset | length) & 3) != 0) return FLASH_FAILED;
    while (length > 0) {
        /* Tested again before every chunk: another user may be rebuilding the map. */
        if (!BbmtMapReady()) return FLASH_FAILED;
        if (!BbmtFormChunk(offset, length, access, &chunk)) return FLASH_FAILED;

        /* A failed read never replaces a block. A client's pages are read with the controller's
           error correction, which they were programmed with: a flipped bit is put right, and a page
           torn by a power cut fails instead of reaching the caller as data. The table's page is
           reprogrammed in place, so its code no longer matches: it is read raw. */
        status = NAND_TIMEOUT;
        for (tries = 0; tries < BBMT_TRIES && status != NAND_OK; tries++) {
            if (access == BBMT_CLIENT_ACCESS) NandSetEcc(1);
            status = NandReadPage(buffer, chunk.Physical, chunk.Length);
            NandSetEcc(0);
        }
        if (status != NAND_OK) return FLASH_FAILED;

        buffer += chunk.Length / 4;
        offset += chunk.Length;
        length -= chunk.Length;
    }
    return FLASH_OK;
}

u32 BbmtReadWord(u32 offset)
{
    /* A failed read gives 0, as the NOR driver does beyond its usable size. */
    u32 word = 0;
    if (!BbmtRead(&word, offset, 4)) return 0;
    return word;
}
