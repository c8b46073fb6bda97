/*
 * The flash library's front end: the one table of operations through which every client reads,
 * programs and erases the module's boot flash, whichever technology the module carries.
 *
 * Offsets are byte offsets from the start of the flash as the driver presents it (logical offsets
 * on NAND). Buffers are word-aligned; offsets and lengths are multiples of 4. Operation results
 * are nonzero for success, 0 for failure, with no error code.
 */
#ifndef KALVORI_FLASH_FLASH_OPS_H
#define KALVORI_FLASH_FLASH_OPS_H

#include "platform/platform.h"

typedef u32 (*FlashReadWordFn)(u32 offset);
typedef u32 (*FlashGetPageSizeFn)(void);
typedef u32 (*FlashGetBlockSizeFn)(u32 offset);
typedef i32 (*FlashReadFn)(u32* buffer, u32 offset, u32 length);
typedef i32 (*FlashWriteWordFn)(u32 offset, u32 value);
typedef i32 (*FlashWriteFn)(const u32* buffer, u32 offset, u32 length);
/* Called by Erase between blocks with (bytes done, bytes in all); returns nonzero to go on. */
typedef i32 (*FlashProgressFn)(u32 done, u32 total);
typedef i32 (*FlashEraseFn)(u32 offset, u32 length);

/* Results of the operations and of the drivers' probes: nonzero for success, no error code. */
#define FLASH_OK 1
#define FLASH_FAILED 0

/* FlashType values */
#define FLASH_TYPE_NONE 0u
#define FLASH_TYPE_NOR 1u
#define FLASH_TYPE_NAND 2u

/* The twelve slots, one machine word each on the module, in this order. */
typedef struct FlashOpsTable {
    FlashReadWordFn ReadWord;         /* the word stored at a byte offset */
    FlashGetPageSizeFn GetPageSize;   /* page size; empty on NOR */
    u32 UsableSize;                   /* bytes available to clients from offset 0; set by the probe */
    FlashGetBlockSizeFn GetBlockSize; /* size of the erase block that holds an offset */
    FlashReadFn Read;                 /* copy flash into a buffer */
    FlashWriteWordFn WriteWord;       /* program one word */
    FlashWriteFn Write;               /* program a buffer */
    FlashProgressFn Progress;         /* hook set by a client; called by Erase */
    u32 FlashType;                    /* FLASH_TYPE_NONE, _NOR or _NAND */
    FlashEraseFn Erase;               /* erase every block that holds a byte of the range */
    u32 ProgressStep;                 /* set by a client: bytes of erase progress between two hook calls */
    u32 DeviceClass;                  /* family of the flash part found by the probe */
} FlashOpsTable;

extern FlashOpsTable FlashOps;

/* Brings the module's driver up once per process. FLASH_FAILED when no driver could be brought up;
   otherwise the FlashType (1 or 2) from the call that probes, and FLASH_OK from any later call. */
i32 FlashInit(void);

#endif /* KALVORI_FLASH_FLASH_OPS_H */
