/*
 * The NAND controller driver: the processor's NAND controller at physical 0x43100000, the six chip
 * records, and the page, spare and block transfers at physical flash offsets.
 */
#ifndef KALVORI_FLASH_NAND_NAND_H
#define KALVORI_FLASH_NAND_NAND_H

#include "platform/platform.h"

/* Result codes: a bit set; operations that walk several pages OR them. */
#define NAND_OK 0
#define NAND_TIMEOUT 1   /* a time-out, or the operation stopped before its end */
#define NAND_ECC_ERROR 2 /* uncorrectable ECC error on a page */
#define NAND_BAD_BLOCK 4 /* the device failed a program or erase */

/* --- controller --- */
i32 NandProbe(i32 configure); /* 0 success; 1 failure */
i32 NandReadId(u32* id);
i32 NandReset(void);
i32 NandWaitStatus(u32 mask); /* 0 when a bit of the mask shows; -1 on time-out */
i32 NandCommandResult(void);
void NandSetTimings(void);
void NandSetControl(void);
void NandSetEcc(i32 on);
void NandSetSpare(i32 on);
u32 NandPageSize(void);
u32 NandBlockSize(void);
u32 NandBlockCount(void);
u32 NandSpareSize(void);

/* --- transfers --- */
void NandSplitAddress(u32 offset, u32* address1, u32* address2, i32 erase, i32 halve, u32* chipSelect);
i32 NandReadPage(u32* buffer, u32 offset, u32 length);
i32 NandProgramPage(const u32* buffer, u32 offset, u32 length);
i32 NandReadSpare(u32* buffer, u32 offset, u32 length);
i32 NandWriteSpare(const u32* buffer, u32 offset, u32 length);
i32 NandEraseBlock(u32 offset);

#endif /* KALVORI_FLASH_NAND_NAND_H */
