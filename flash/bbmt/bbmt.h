/*
 * The bad-block map: NAND access at logical offsets through the map shared with the operating
 * system's flash driver ("NAND_FLASH_BBMT"), and the replacement of blocks that go bad.
 */
#ifndef KALVORI_FLASH_BBMT_BBMT_H
#define KALVORI_FLASH_BBMT_BBMT_H

#include "platform/platform.h"

i32 BbmtInit(void);
/* The physical offset that holds a logical offset: its block as the shared map names it. */
u32 LogicalToPhysical(u32 offset);
i32 BbmtRead(u32* buffer, u32 offset, u32 length);
u32 BbmtReadWord(u32 offset);
i32 BbmtWrite(const u32* buffer, u32 offset, u32 length);
i32 BbmtWriteWord(u32 offset, u32 value);
i32 BbmtWriteSpare(const u32* buffer, u32 offset, u32 length);
i32 BbmtEraseBlock(u32 offset);
i32 BbmtEraseRange(u32 offset, u32 length);
i32 FindSpareBlock(u32 logicalBlock, u32* replacementBlock, u32* entryCount);
i32 ReplaceBadBlock(u32 offset, u32 migrationLength);

#endif /* KALVORI_FLASH_BBMT_BBMT_H */
