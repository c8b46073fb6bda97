/* Rejected: 'auto' type deduction. The module's compilers read 'auto' as a storage class. */
#include "platform/platform.h"

u32 SumWords(const u32* words, u32 count)
{
#if defined(KALVORI_DIALECT_ACCEPTED)
    u32 total = 0;
#else
    auto total = 0u;
#endif
    for (u32 i = 0; i < count; i++) total += words[i];
    return total;
}
