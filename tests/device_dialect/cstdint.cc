/* Rejected: <cstdint>, which the module's compilers do not ship. Fixed-width types come from
   platform/platform.h. */
#if defined(KALVORI_DIALECT_ACCEPTED)
#include "platform/platform.h"
typedef u32 Word;
#else
#include <cstdint>
typedef std::uint32_t Word;
#endif

Word Swap(Word value)
{
    return (value >> 16) | (value << 16);
}
