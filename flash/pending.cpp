/*
 * TEMPORARY: stand-ins for driver functions that have not landed yet, so that everything links.
 * Each goes in the same commit as its real implementation; none of these survives.
 */
#include "flash/bbmt/bbmt.h"
#include "flash/flash_ops.h"
#include "flash/nand/nand.h"
#include "hw/cpu_regs.h"
#include "hw/physwin.h"

/* --- bad-block map (flash/bbmt/) --- */
i32 BbmtInit(void) { return 0; }
u32 LogicalToPhysical(u32) { return 0; }
i32 BbmtRead(u32*, u32, u32) { return 0; }
u32 BbmtReadWord(u32) { return 0; }
i32 BbmtWrite(const u32*, u32, u32) { return 0; }
i32 BbmtWriteWord(u32, u32) { return 0; }
i32 BbmtWriteSpare(const u32*, u32, u32) { return 0; }
i32 BbmtEraseBlock(u32) { return 0; }
i32 BbmtEraseRange(u32, u32) { return 0; }
i32 FindSpareBlock(u32, u32*, u32*) { return 0; }
i32 ReplaceBadBlock(u32, u32) { return 0; }
