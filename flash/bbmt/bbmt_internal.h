/*
 * The bad-block map's private part: the two formats, the module state shared by the remapped reads
 * (bbmt.cpp) and the remapped writes and replacements (bbmt_write.cpp), and the chunk rule.
 */
#ifndef KALVORI_FLASH_BBMT_BBMT_INTERNAL_H
#define KALVORI_FLASH_BBMT_BBMT_INTERNAL_H

#include "platform/platform.h"

/* --- BadBlockMap: the shared region --- */

#define BBMT_REGION_BYTES 0x4004u
#define BBMT_SIGNATURE 0x544D4242u  /* the bytes "BBMT" */
#define BBMT_MAP_OFFSET 4u          /* entry i: 16-bit physical block of logical block i */
#define BBMT_MAP_ENTRIES 8192u      /* the largest block count of the supported chips */

/* --- BadBlockTable: on flash in block 0 --- */

#define BBMT_TABLE_MAGIC 0x524Eu
#define BBMT_TABLE_HEADER_BYTES 4u /* magic, then a value written back as it was read */
#define BBMT_ENTRY_BYTES 4u        /* LogicalBlock, ReplacementBlock */
#define BBMT_ENTRY_RETIRED 0u      /* no entry names block 0: the table lives there */
#define BBMT_ENTRY_END 0xFFFFu     /* erased flash ends the table */
#define BBMT_TABLE_COPY_BYTES 2048u

/* --- the table-area rule --- */

#define BBMT_LARGE_PAGE 2048u         /* page size of the chips whose first 256 KiB skip the table */
#define BBMT_FIRST_AREA_END 0x40000u  /* the first 256 KiB */
#define BBMT_LAST_PAGE_OF_AREA 0x3F800u /* what lies beyond the shifted view: refused */

#define BBMT_TRIES 3

/* --- module state --- */

extern u32 BbmtTableOffset;
extern u32 BbmtTableLength;
extern u32 BbmtReservedBlocks;
extern u32 BbmtTableCopy[BBMT_TABLE_COPY_BYTES / 4];
extern i32 BbmtTableReloadPending;

/* 1 while the shared map carries its signature and this process has probed the controller: only
   then may a remapped operation drive the controller. */
i32 BbmtMapReady(void);

/* Map entries inside the region only. */
u32 BbmtMapEntry(u32 logicalBlock);
void BbmtSetMapEntry(u32 logicalBlock, u32 physicalBlock);

/* 1 when a map may lead the logical block to the physical one for a program or an erase: to itself,
   or to a spare block (block 0 holds the table and is never a replacement). */
i32 BbmtTargetPossible(u32 logicalBlock, u32 physicalBlock);

/* log2 of the block size. */
u32 BbmtBlockShift(void);

/* --- BbmtTableCopy --- */

/* Slots of the table, the end marker's included. */
u32 BbmtTableSlots(void);
/* The entries before the end marker; never more than the slots. */
u32 BbmtTableEntryCount(void);
u32 BbmtTableLogicalBlock(u32 entry);
u32 BbmtTableReplacementBlock(u32 entry);
void BbmtTableSetEntry(u32 entry, u32 logicalBlock, u32 replacementBlock);
u32 BbmtTableMagic(void);
/* 16-bit little-endian fields of a table image. */
u32 BbmtHalfAt(const u32* table, u32 byteOffset);
void BbmtSetHalfAt(u32* table, u32 byteOffset, u32 value);

/* --- the table's copy, kept in a free spare block while block 0 is erased --- */

/* Writes BbmtTableCopy into the spare block FindSpareBlock would hand out next (erased first),
   marked and verified. FLASH_OK and the block, or FLASH_FAILED when no spare can hold it. */
i32 BbmtSaveTableCopy(u32* copyBlock);
/* Clears the copy's mark (no erase needed): it is no longer valid. */
void BbmtDropTableCopy(u32 copyBlock);
/* At start-up, with the table of block 0 read into BbmtTableCopy: when a valid copy lies in a free
   spare and block 0 holds no table or another one, block 0 is erased and the copy written back and
   verified (and, with signedMap set, the map someone else built rebuilt from it); then the copy is dropped. FLASH_FAILED only
   when the table could not be put back. */
i32 BbmtRecoverTable(i32 signedMap);
/* 1 when the table on flash reads back as BbmtTableCopy holds it. */
i32 BbmtTableStored(void);

/* What an entry of BbmtTableCopy is worth. Only a live entry that passes every check enters the map;
   the others are kept on flash as they are and never used. */
typedef enum BbmtEntryCheck {
    BBMT_ENTRY_USABLE,
    BBMT_ENTRY_IS_RETIRED,       /* LogicalBlock 0 */
    BBMT_ENTRY_INCOMPLETE,       /* ReplacementBlock still erased: an append that never finished */
    BBMT_ENTRY_BLOCK_OUTSIDE,    /* LogicalBlock beyond the chip */
    BBMT_ENTRY_TARGET_OUTSIDE,   /* ReplacementBlock beyond the chip */
    BBMT_ENTRY_TARGET_TABLE,     /* ReplacementBlock 0, where the table lives */
    BBMT_ENTRY_TARGET_NOT_SPARE, /* ReplacementBlock below the spare pool */
    BBMT_ENTRY_TARGET_TAKEN      /* ReplacementBlock recorded by an earlier entry */
} BbmtEntryCheck;

BbmtEntryCheck BbmtCheckEntry(u32 entry);

/* Checks the entries of BbmtTableCopy: says once on the debug output which cannot be used, and
   notes the logical blocks whose last entry is one of them, so that nothing writes them. With map
   set, also builds the shared map's entries: the identity overlaid with the usable entries. */
void BbmtCheckTable(i32 map);
/* 1 when writes to the logical block are refused. Checks the table on flash first when this process
   has not yet done so (the map was built by another user). */
i32 BbmtWriteRefused(u32 logicalBlock);

/* --- access --- */

/* How a transfer meets the table's page in block 0. */
typedef enum BbmtAccess {
    /* A client's logical range: the table-area rule keeps it off the table's page, and a replacement
       during a write leaves the chunk being written to the caller. */
    BBMT_CLIENT_ACCESS,
    /* The table itself, or a page that a replacement copies: no table-area rule, and a replacement
       it causes copies nothing. */
    BBMT_RAW_TABLE_ACCESS
} BbmtAccess;

/* BbmtRead and BbmtWrite for the given access. */
i32 BbmtReadAs(u32* buffer, u32 offset, u32 length, BbmtAccess access);
i32 BbmtWriteAs(const u32* buffer, u32 offset, u32 length, BbmtAccess access);

/* --- chunks --- */

/* One piece of a transfer, formed from the running logical offset and the bytes that remain. */
typedef struct BbmtChunk {
    u32 Offset;   /* logical offset whose block's map entry leads to the flash (the table-area
                     rule may have moved it on) */
    u32 Physical; /* physical offset of the chunk's first byte */
    u32 Length;   /* bytes, inside one block */
} BbmtChunk;

/* FLASH_OK and the chunk, or FLASH_FAILED when the table-area rule or the block range refuses it. */
i32 BbmtFormChunk(u32 offset, u32 remaining, BbmtAccess access, BbmtChunk* chunk);

#endif /* KALVORI_FLASH_BBMT_BBMT_INTERNAL_H */
