/*
 * The NAND controller driver: the processor's NAND controller at physical 0x43100000, the six chip
 * records, and the page, spare and block transfers at physical flash offsets.
 */
#ifndef KALVORI_FLASH_NAND_NAND_H
#define KALVORI_FLASH_NAND_NAND_H

#include "platform/platform.h"

/* Result codes of the commands and transfers: a bit set; operations that walk several pages OR them. */
#define NAND_OK 0
#define NAND_TIMEOUT 1   /* a time-out, or the operation stopped before its end */
#define NAND_ECC_ERROR 2 /* uncorrectable ECC error on a page */
#define NAND_BAD_BLOCK 4 /* the device failed a program or erase */

/* The probe's failure: no controller window, no answer to READ ID, or a chip it does not know. */
#define NAND_PROBE_FAILED 1

/* The status wait alone answers in these two values. */
#define NAND_WAIT_OK 0         /* a bit of the mask showed */
#define NAND_WAIT_TIMEOUT (-1) /* the bounded count of status reads ran out */

/* --- controller --- */
i32 NandProbe(i32 configure); /* NAND_OK or NAND_PROBE_FAILED */
i32 NandReadId(u32* id);      /* NAND_OK or NAND_TIMEOUT */
i32 NandReset(void);          /* NAND_OK or NAND_TIMEOUT */
i32 NandWaitStatus(u32 mask); /* NAND_WAIT_OK or NAND_WAIT_TIMEOUT */
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
