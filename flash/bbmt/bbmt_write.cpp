/*
 * Remapped programming and erasing, and the replacement of blocks that go bad. When a program or an
 * erase fails with the chip's bad-block status, the logical block gets a spare from the pool at the
 * top of the chip, the shared map and the table in block 0 are updated, the data the old block still
 * holds is copied over, and the operation is done again on the spare.
 *
 * The table's page is programmed in place, without erasing block 0: a stored table only ever
 * changes by a new entry written into erased bytes and by LogicalBlock values set to 0.
 */
#include "flash/bbmt/bbmt.h"

#include "flash/bbmt/bbmt_internal.h"
#include "flash/flash_ops.h"
#include "flash/nand/nand.h"

/* Set: the next replacement that is not nested inside another starts from the table on flash. */
DEVICE_STATE i32 BbmtTableReloadPending = 1;

#define BBMT_PAGE_BUFFER_BYTES 2048u /* the largest page of the supported chips */
#define BBMT_SPARE_COPY_BYTES 8u     /* spare bytes a migration carries over */
#define BBMT_BLANK_WORD 0xFFFFFFFFu
#define BBMT_NO_PAGE 0xFFFFFFFFu

/* The page a migration copies through. Only a replacement that is not nested migrates: a nested
   one is asked to migrate nothing (it comes from erasing a spare, or from a migration's own raw
   write), so one buffer serves them all, and replacements nested as deep as the spare pool allows
   add no page to the stack each. */
DEVICE_STATE static u32 BbmtMigrationPage[BBMT_PAGE_BUFFER_BYTES / 4];

/* The table's copy in a spare block: the table's bytes in the block's first page, and in that page's
   first spare bytes a mark and a checksum of them. */
#define BBMT_COPY_MARK 0x59504F43u /* the bytes "COPY" */
#define BBMT_COPY_MARK_WORDS 2u
#define BBMT_COPY_MARK_BYTES 8u
#define BBMT_FNV_BASIS 2166136261u
#define BBMT_FNV_PRIME 16777619u

/* The table as flash holds it, or as it is about to: appends are built here, and a copy is read
   here. */
DEVICE_STATE static u32 BbmtTableImage[BBMT_TABLE_COPY_BYTES / 4];

/* --- remapped writes --- */

i32 BbmtWrite(const u32* buffer, u32 offset, u32 length)
{
    return BbmtWriteAs(buffer, offset, length, BBMT_CLIENT_ACCESS);
}

i32 BbmtWriteAs(const u32* buffer, u32 offset, u32 length, BbmtAccess access)
{
    BbmtChunk chunk;
    u32 window;
    i32 status;
    i32 tries;

    if (!BbmtMapReady()) return FLASH_FAILED;
    if (((offset | length) & 3) != 0) return FLASH_FAILED;
    while (length > 0) {
        /* Tested again before every chunk, after a replacement too. */
        if (!BbmtMapReady()) return FLASH_FAILED;
        if (!BbmtFormChunk(offset, length, access, &chunk)) return FLASH_FAILED;
        /* Nothing is programmed through an entry that cannot be used, nor into a block that no map
           can rightly name for this one (block 0, or a block below the spare pool). */
        if (BbmtWriteRefused(chunk.Offset >> BbmtBlockShift()) ||
            !BbmtTargetPossible(chunk.Offset >> BbmtBlockShift(), chunk.Physical >> BbmtBlockShift())) {
            return FLASH_FAILED;
        }
        /* A client writes the chunk itself, so a replacement need not copy it; a raw copy (the
           table, a migration page) migrates nothing. */
        window = access == BBMT_CLIENT_ACCESS ? chunk.Length : 0;

        NandSetEcc(1);
        NandSetSpare(1);
        status = NAND_TIMEOUT;
        for (tries = 0; tries < BBMT_TRIES && status != NAND_OK; tries++) {
            status = NandProgramPage(buffer, chunk.Physical, chunk.Length);
            if ((status & NAND_BAD_BLOCK) != 0) break;
        }
        NandSetEcc(0);
        NandSetSpare(0);

        if ((status & NAND_BAD_BLOCK) != 0) {
            /* The same chunk is formed again, its map entry now leading to the spare, and the rest
               of the request follows it. */
            if (!ReplaceBadBlock(chunk.Offset, window)) return FLASH_FAILED;
            continue;
        }
        if (status != NAND_OK) return FLASH_FAILED;

        buffer += chunk.Length / 4;
        offset += chunk.Length;
        length -= chunk.Length;
    }
    return FLASH_OK;
}

i32 BbmtWriteWord(u32 offset, u32 value)
{
    /* Stored little-endian, as the processor keeps the word. */
    u32 word = value;
    return BbmtWrite(&word, offset, 4);
}

i32 BbmtWriteSpare(const u32* buffer, u32 offset, u32 length)
{
    u32 shift;
    u32 physical;

    if (!BbmtMapReady()) return FLASH_FAILED;
    shift = BbmtBlockShift();
    physical = LogicalToPhysical(offset);
    if ((offset >> shift) >= NandBlockCount() || !BbmtTargetPossible(offset >> shift, physical >> shift)) {
        return FLASH_FAILED;
    }
    return NandWriteSpare(buffer, physical, length) == NAND_OK ? FLASH_OK : FLASH_FAILED;
}

/* --- remapped erasing --- */

/* The table's bytes, raw: read into BbmtTableCopy or written from it. */
static i32 BbmtLoadTable(void)
{
    return BbmtReadAs(BbmtTableCopy, BbmtTableOffset, BbmtTableLength, BBMT_RAW_TABLE_ACCESS);
}

static i32 BbmtStoreTable(void)
{
    return BbmtWriteAs(BbmtTableCopy, BbmtTableOffset, BbmtTableLength, BBMT_RAW_TABLE_ACCESS);
}

static i32 BbmtSameTable(const u32* a, const u32* b)
{
    u32 i;
    for (i = 0; i < BbmtTableLength / 4; i++) {
        if (a[i] != b[i]) return 0;
    }
    return 1;
}

i32 BbmtTableStored(void)
{
    if (!BbmtReadAs(BbmtTableImage, BbmtTableOffset, BbmtTableLength, BBMT_RAW_TABLE_ACCESS)) return 0;
    return BbmtSameTable(BbmtTableImage, BbmtTableCopy);
}

/* The entries from firstNew on reach the table on flash in steps, each one program of the table's
   page in place, so that a program the power cuts short leaves only entries the checks refuse or
   ignore: first the new LogicalBlocks (a torn one has no ReplacementBlock yet, and moved no data),
   then each new ReplacementBlock in turn (a torn one holds more 1 bits than meant: a block above
   it, each of which an earlier entry records, or one beyond the chip). Retirements stay in
   BbmtTableCopy: the later entry of a block wins, and a torn retirement would remap some other
   block without a trace. */
static i32 BbmtAppendEntries(u32 firstNew)
{
    u32 count = BbmtTableEntryCount();
    u32 k;

    if (!BbmtReadAs(BbmtTableImage, BbmtTableOffset, BbmtTableLength, BBMT_RAW_TABLE_ACCESS) ||
        BbmtHalfAt(BbmtTableImage, 0) != BBMT_TABLE_MAGIC) {
        return FLASH_FAILED;
    }
    for (k = firstNew; k < count; k++) {
        BbmtSetHalfAt(BbmtTableImage, BBMT_TABLE_HEADER_BYTES + k * BBMT_ENTRY_BYTES, BbmtTableLogicalBlock(k));
    }
    if (!BbmtWriteAs(BbmtTableImage, BbmtTableOffset, BbmtTableLength, BBMT_RAW_TABLE_ACCESS)) return FLASH_FAILED;
    for (k = firstNew; k < count; k++) {
        BbmtSetHalfAt(BbmtTableImage, BBMT_TABLE_HEADER_BYTES + k * BBMT_ENTRY_BYTES + 2,
                      BbmtTableReplacementBlock(k));
        if (!BbmtWriteAs(BbmtTableImage, BbmtTableOffset, BbmtTableLength, BBMT_RAW_TABLE_ACCESS)) {
            return FLASH_FAILED;
        }
    }
    /* Verified: what the map now says must be what a fresh start reads. */
    for (k = 0; k < BbmtTableLength / 4; k++) BbmtTableCopy[k] = BbmtTableImage[k];
    return BbmtTableStored();
}

/* --- the table's copy --- */

static u32 BbmtTableSum(const u32* table)
{
    const u8* t = (const u8*)table;
    u32 sum = BBMT_FNV_BASIS;
    u32 i;
    for (i = 0; i < BbmtTableLength; i++) sum = (sum ^ t[i]) * BBMT_FNV_PRIME;
    return sum;
}

/* 1 when the spare block holds a marked copy whose bytes match their checksum and start with the
   magic; the copy is then in BbmtTableImage. */
static i32 BbmtCopyValid(u32 block)
{
    u32 mark[BBMT_COPY_MARK_WORDS];
    u32 physical = block << BbmtBlockShift();

    NandSetEcc(0);
    NandSetSpare(0);
    if (NandReadSpare(mark, physical, BBMT_COPY_MARK_BYTES) != NAND_OK || mark[0] != BBMT_COPY_MARK) return 0;
    if (NandReadPage(BbmtTableImage, physical, BbmtTableLength) != NAND_OK) return 0;
    return BbmtHalfAt(BbmtTableImage, 0) == BBMT_TABLE_MAGIC && mark[1] == BbmtTableSum(BbmtTableImage);
}

i32 BbmtSaveTableCopy(u32* copyBlock)
{
    u32 mark[BBMT_COPY_MARK_WORDS];
    u32 spare = 0;
    u32 entries = 0;
    u32 physical;

    /* The spare the next replacement would take; no entry names block END, so nothing retires. */
    if (BbmtTableSlots() == 0 || !FindSpareBlock(BBMT_ENTRY_END, &spare, &entries)) return FLASH_FAILED;
    physical = spare << BbmtBlockShift();

    NandSetEcc(0);
    NandSetSpare(0);
    if (NandEraseBlock(physical) != NAND_OK) return FLASH_FAILED;
    if (NandProgramPage(BbmtTableCopy, physical, BbmtTableLength) != NAND_OK) return FLASH_FAILED;
    mark[0] = BBMT_COPY_MARK;
    mark[1] = BbmtTableSum(BbmtTableCopy);
    if (NandWriteSpare(mark, physical, BBMT_COPY_MARK_BYTES) != NAND_OK) return FLASH_FAILED;
    if (!BbmtCopyValid(spare) || !BbmtSameTable(BbmtTableImage, BbmtTableCopy)) return FLASH_FAILED;
    *copyBlock = spare;
    return FLASH_OK;
}

void BbmtDropTableCopy(u32 copyBlock)
{
    u32 mark[BBMT_COPY_MARK_WORDS];
    mark[0] = 0;
    mark[1] = 0;
    NandWriteSpare(mark, copyBlock << BbmtBlockShift(), BBMT_COPY_MARK_BYTES);
}

/* 1 when block 0's table (in BbmtTableCopy, magic checked by the caller) records the block. */
static i32 BbmtTableRecords(u32 block)
{
    u32 count = BbmtTableEntryCount();
    u32 k;
    for (k = 0; k < count; k++) {
        if (BbmtTableReplacementBlock(k) == block) return 1;
    }
    return 0;
}

i32 BbmtRecoverTable(i32 signedMap)
{
    u32 blocks = NandBlockCount();
    i32 tableValid = BbmtTableMagic() == BBMT_TABLE_MAGIC;
    u32 block;
    u32 k;
    i32 status;

    if (BbmtTableLength == 0 || BbmtTableLength > BBMT_TABLE_COPY_BYTES || BbmtReservedBlocks == 0) {
        return FLASH_OK;
    }
    /* Only free spares can hold a copy: a block the table records holds a logical block's data. */
    for (block = blocks - 1; block >= blocks - BbmtReservedBlocks; block--) {
        if (tableValid && BbmtTableRecords(block)) continue;
        if (!BbmtCopyValid(block)) continue;

        if (!tableValid || !BbmtSameTable(BbmtTableImage, BbmtTableCopy)) {
            /* Block 0 erased whole, then the copy's table written back and verified. */
            status = NandEraseBlock(0);
            if (status != NAND_OK) return FLASH_FAILED;
            if (NandProgramPage(BbmtTableImage, BbmtTableOffset, BbmtTableLength) != NAND_OK) return FLASH_FAILED;
            for (k = 0; k < BbmtTableLength / 4; k++) BbmtTableCopy[k] = BbmtTableImage[k];
            if (NandReadPage(BbmtTableImage, BbmtTableOffset, BbmtTableLength) != NAND_OK ||
                !BbmtSameTable(BbmtTableImage, BbmtTableCopy)) {
                return FLASH_FAILED;
            }
            OsDebugPrintf(WSTR("Bad-block table restored from its copy in block %u\r\n"), block);
            if (signedMap) BbmtCheckTable(1);
        }
        BbmtDropTableCopy(block);
        return FLASH_OK;
    }
    return FLASH_OK;
}

i32 BbmtEraseBlock(u32 offset)
{
    u32 shift;
    u32 physical;
    i32 tableBlock;
    u32 copyBlock = 0;
    i32 tries = BBMT_TRIES;
    i32 status = NAND_TIMEOUT;

    if (!BbmtMapReady()) return FLASH_FAILED;
    shift = BbmtBlockShift();
    if ((offset >> shift) >= NandBlockCount()) return FLASH_FAILED;
    if (BbmtWriteRefused(offset >> shift)) return FLASH_FAILED;

    /* The table lives in block 0 (anywhere in it, not only at offset 0): it is kept across the
       erase, and without a copy of it the block is not erased at all. The copy goes to a free spare
       first, so that a start after a cut anywhere below finds the table and puts it back. */
    tableBlock = (offset >> shift) == 0;
    if (tableBlock) {
        if (!BbmtLoadTable() || BbmtTableMagic() != BBMT_TABLE_MAGIC) return FLASH_FAILED;
        if (!BbmtSaveTableCopy(&copyBlock)) return FLASH_FAILED;
    }

    while (tries > 0 && status != NAND_OK) {
        physical = LogicalToPhysical(offset);
        if (!BbmtTargetPossible(offset >> shift, physical >> shift)) return FLASH_FAILED;
        status = NandEraseBlock(physical);
        tries--;
        if ((status & NAND_BAD_BLOCK) != 0) {
            /* Block 0 is never replaced; its table is still written back below. */
            if (tableBlock) break;
            if (!ReplaceBadBlock(offset, 0)) return FLASH_FAILED;
            if (!BbmtMapReady()) return FLASH_FAILED;
            /* The spare is erased next, with tries of its own. */
            tries = BBMT_TRIES;
            status = NAND_TIMEOUT;
        }
    }

    /* Also after three failed tries. A table that cannot be written back, or does not read back as
       it was, fails the call and keeps its copy for the next start. */
    if (tableBlock) {
        if (!BbmtStoreTable() || !BbmtTableStored()) return FLASH_FAILED;
        BbmtDropTableCopy(copyBlock);
    }
    return status == NAND_OK ? FLASH_OK : FLASH_FAILED;
}

i32 BbmtEraseRange(u32 offset, u32 length)
{
    u32 blockSize = NandBlockSize();
    u32 start = offset & ~(blockSize - 1);
    u32 lead = offset - start;
    u32 span;
    u32 done;
    u32 threshold;
    u32 block;
    u32 step;

    /* The widened range: from the start of the first block touched to the end of the last. Sums
       that would pass 2^32 fail before anything is erased. */
    if (length > 0xFFFFFFFFu - lead) return FLASH_FAILED;
    if (lead + length > 0xFFFFFFFFu - (blockSize - 1)) return FLASH_FAILED;
    span = (lead + length + blockSize - 1) & ~(blockSize - 1);
    if (span > FlashOps.UsableSize || start > FlashOps.UsableSize - span) return FLASH_FAILED;
    if (span == 0) return FLASH_OK;

    done = 0;
    threshold = 0;
    for (block = start; done < span; block += blockSize) {
        /* The hook is read afresh before every block and never called after the last. */
        if (FlashOps.Progress != 0 && done >= threshold) {
            if (!FlashOps.Progress(done, span)) return FLASH_FAILED;
            step = FlashOps.ProgressStep;
            threshold = threshold > 0xFFFFFFFFu - step ? 0xFFFFFFFFu : threshold + step;
        }
        if (!BbmtEraseBlock(block)) return FLASH_FAILED;
        done += blockSize;
    }
    return FLASH_OK;
}

/* --- bad-block replacement --- */

i32 FindSpareBlock(u32 logicalBlock, u32* replacementBlock, u32* entryCount)
{
    u32 blocks = NandBlockCount();
    u32 n = BbmtTableEntryCount();
    u32 k;
    i32 candidate = (i32)blocks - 1; /* may pass below 0 on a table that names block 0 */
    i32 matched;

    *entryCount = n;

    /* Below the replacement of every live entry; the entries of this block are retired. The test
       comes first, so the replacement being retired lowers the candidate too. An entry that cannot
       be used names no spare and lowers nothing; its replacement is still skipped below. */
    for (k = 0; k < n; k++) {
        u32 logical = BbmtTableLogicalBlock(k);
        if (BbmtCheckEntry(k) == BBMT_ENTRY_USABLE && (i32)BbmtTableReplacementBlock(k) <= candidate) {
            candidate = (i32)BbmtTableReplacementBlock(k) - 1;
        }
        if (logical == logicalBlock) BbmtTableSetEntry(k, BBMT_ENTRY_RETIRED, BbmtTableReplacementBlock(k));
    }

    /* And unlike every block ever recorded as a replacement, retired ones included. */
    for (;;) {
        if (candidate < (i32)(blocks - BbmtReservedBlocks)) return FLASH_FAILED;
        matched = 0;
        for (k = 0; k < n; k++) {
            if ((i32)BbmtTableReplacementBlock(k) == candidate) {
                candidate--;
                matched = 1;
            }
        }
        if (!matched) break;
    }

    *replacementBlock = (u32)candidate;
    return FLASH_OK;
}

static i32 BbmtPageIsBlank(const u32* page, u32 pageSize)
{
    u32 i;
    for (i = 0; i < pageSize / 4; i++) {
        if (page[i] != BBMT_BLANK_WORD) return 0;
    }
    return 1;
}

/* Copies the pages of the old block that hold data to the same places of logical block K. A page
   wholly inside the window [P, P + M) is left to the caller, who is about to write it; a page the
   window covers only in part still holds data and is copied. */
static i32 BbmtMigrate(u32 logicalBlock, u32 windowStart, u32 windowLength, u32 oldBlock, u32* page)
{
    u32 shift = BbmtBlockShift();
    u32 blockSize = (u32)1 << shift;
    u32 pageSize = NandPageSize();
    u32 target = BbmtMapEntry(logicalBlock);
    u32 written = BBMT_NO_PAGE; /* the one page the current target already holds */
    u32 at = 0;
    u32 source;
    u32 destination;
    i32 status;
    i32 tries;

    if (pageSize == 0 || pageSize > BBMT_PAGE_BUFFER_BYTES) return FLASH_FAILED;

    while (at < blockSize) {
        source = (oldBlock << shift) + at;
        destination = (logicalBlock << shift) + at;
        if ((source >= windowStart && source - windowStart < windowLength &&
             windowLength - (source - windowStart) >= pageSize) ||
            at == written) {
            at += pageSize;
            continue;
        }

        /* Read with the code the page was programmed with: a flipped bit is put right instead of
           being copied into the spare under a fresh code that would vouch for it. A page that
           cannot be read (torn, or more bits flipped than the code corrects) fails the
           replacement rather than reaching the spare as good data. */
        status = NAND_TIMEOUT;
        for (tries = 0; tries < BBMT_TRIES && status != NAND_OK; tries++) {
            NandSetEcc(1);
            status = NandReadPage(page, source, pageSize);
            NandSetEcc(0);
        }
        if (status != NAND_OK) return FLASH_FAILED;

        if (!BbmtPageIsBlank(page, pageSize)) {
            if (!BbmtWriteAs(page, destination, pageSize, BBMT_RAW_TABLE_ACCESS)) return FLASH_FAILED;
            if (NandReadSpare(page, source, BBMT_SPARE_COPY_BYTES) != NAND_OK) return FLASH_FAILED;
            BbmtWriteSpare(page, destination, BBMT_SPARE_COPY_BYTES);

            /* The spare went bad while being filled and was replaced by an empty one, which now
               holds only this page: the copy starts again. */
            if (BbmtMapEntry(logicalBlock) != target) {
                target = BbmtMapEntry(logicalBlock);
                written = at;
                at = 0;
                continue;
            }
        }
        at += pageSize;
    }
    return FLASH_OK;
}

i32 ReplaceBadBlock(u32 offset, u32 migrationLength)
{
    u32 shift;
    u32 logicalBlock;
    u32 failing;
    u32 oldBlock;
    u32 previous;
    u32 spare = 0;
    u32 entries = 0;
    i32 outermost = 0;
    u32 firstNew = 0;
    i32 result = FLASH_FAILED;

    if (!BbmtMapReady()) return FLASH_FAILED;

    /* Where the failing data is, taken before anything changes. */
    shift = BbmtBlockShift();
    logicalBlock = offset >> shift;
    failing = LogicalToPhysical(offset);
    oldBlock = failing >> shift;

    /* Block 0 holds the table and is never replaced; nor is a block whose entry cannot be used. */
    if (logicalBlock == 0 || logicalBlock >= NandBlockCount()) return FLASH_FAILED;
    if (BbmtWriteRefused(logicalBlock)) return FLASH_FAILED;

    /* The outermost replacement starts from the table as stored on flash. */
    if (BbmtTableReloadPending) {
        if (!BbmtLoadTable() || BbmtTableMagic() != BBMT_TABLE_MAGIC) return FLASH_FAILED;
        BbmtTableReloadPending = 0;
        outermost = 1;
        firstNew = BbmtTableEntryCount();
    }

    /* Nested replacements all concern this block: the outermost one knows where its data was. */
    previous = BbmtMapEntry(logicalBlock);

    /* A full table takes no entry: the new one needs its slot and the next for the end marker. */
    if (FindSpareBlock(logicalBlock, &spare, &entries) && entries + 1 < BbmtTableSlots()) {
        BbmtTableSetEntry(entries, logicalBlock, spare);
        BbmtSetMapEntry(logicalBlock, spare);

        /* The map leads to the spare now; if it proves bad, this erase replaces it in turn. */
        if (BbmtEraseBlock(offset)) {
            result = migrationLength == 0
                         ? FLASH_OK
                         : BbmtMigrate(logicalBlock, failing, migrationLength, oldBlock, BbmtMigrationPage);
        }
    }

    /* A replacement that fails leaves the map as the table on flash has it: the old block still
       holds the data, and a spare the table does not record could be handed out twice. */
    if (outermost) {
        BbmtTableReloadPending = 1;
        if (result && !BbmtAppendEntries(firstNew)) result = FLASH_FAILED;
        if (!result) BbmtSetMapEntry(logicalBlock, previous);
    }
    return result;
}
