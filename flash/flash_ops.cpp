/*
 * The flash library's front end: which driver serves the module is fixed by the processor, and
 * FlashInit fills the one table of operations for it once per process.
 */
#include "flash/flash_ops.h"

#include "flash/bbmt/bbmt.h"
#include "flash/nand/nand.h"
#include "flash/nor/nor.h"
#include "hw/cpu_regs.h"

/* The processor of the module that carries NOR flash at physical 0; every other one has NAND. */
#define FLASH_NOR_CPU_PRODUCT 17u

DEVICE_STATE FlashOpsTable FlashOps;

/* The result of the last probe: nonzero once a driver is ready. */
DEVICE_STATE static i32 FlashReady = 0;

/* --- driver tables --- */

static void FillNorSlots(void)
{
    FlashOps.ReadWord = NorReadWord;
    FlashOps.GetPageSize = 0;
    FlashOps.GetBlockSize = NorBlockSize;
    FlashOps.Read = NorRead;
    FlashOps.WriteWord = NorWriteWord;
    FlashOps.Write = NorWrite;
    FlashOps.Erase = NorEraseRange;
}

/* The NAND chip has one block size; the slot's offset is not needed. */
static u32 NandBlockSizeAt(u32 offset)
{
    (void)offset;
    return NandBlockSize();
}

static void FillNandSlots(void)
{
    FlashOps.ReadWord = BbmtReadWord;
    FlashOps.GetPageSize = NandPageSize;
    FlashOps.GetBlockSize = NandBlockSizeAt;
    FlashOps.Read = BbmtRead;
    FlashOps.WriteWord = BbmtWriteWord;
    FlashOps.Write = BbmtWrite;
    FlashOps.Erase = BbmtEraseRange;
}

/* --- initialisation --- */

i32 FlashInit(void)
{
    i32 probe;

    if (FlashReady) return FLASH_OK;

    if (ReadCpuProductNumber() == FLASH_NOR_CPU_PRODUCT) {
        FlashOps.FlashType = FLASH_TYPE_NOR;
        probe = NorProbe();
        FillNorSlots();
    } else {
        FlashOps.FlashType = FLASH_TYPE_NAND;
        probe = BbmtInit();
        FillNandSlots();
    }

    /* The slots stay filled after a failed probe: the drivers then fail every range themselves. */
    FlashReady = probe;
    if (!probe) {
        FlashOps.FlashType = FLASH_TYPE_NONE;
        return FLASH_FAILED;
    }
    return (i32)FlashOps.FlashType;
}
