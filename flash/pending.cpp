/*
 * TEMPORARY: stand-ins for driver functions that have not landed yet, so that everything links.
 * Each goes as soon as its real implementation is committed; none of these survives.
 */
#include "flash/bbmt/bbmt.h"
#include "flash/flash_ops.h"

FlashOpsTable FlashOps DEVICE_STATE;

i32 FlashInit(void)
{
    return 0;
}
