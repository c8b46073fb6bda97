/* Rejected: the range-based for loop. */
#include "platform/platform.h"

u32 CountSet(const u32 (&flags)[8])
{
    u32 set = 0;
#if defined(KALVORI_DIALECT_ACCEPTED)
    for (u32 i = 0; i < 8; i++) set += flags[i] != 0;
#else
    for (u32 flag : flags) set += flag != 0;
#endif
    return set;
}
