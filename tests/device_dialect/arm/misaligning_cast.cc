/* Rejected on ARM: a cast that may misalign a 32-bit access. A byte buffer is read byte by byte, or
   kept in words from the start. */
#include "platform/platform.h"

u32 FirstWord(const u8* bytes)
{
#if defined(KALVORI_DIALECT_ACCEPTED)
    return (u32)bytes[0] | (u32)bytes[1] << 8 | (u32)bytes[2] << 16 | (u32)bytes[3] << 24;
#else
    return *(const u32*)bytes;
#endif
}
