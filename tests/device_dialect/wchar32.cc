/* Rejected: a wide character holding a code point above U+FFFF, as if wchar_t had 32 bits. On the
   module a wide character is one 16-bit UTF-16 code unit. */
#include "platform/platform.h"

void PutGrinningFace(WChar* out)
{
#if defined(KALVORI_DIALECT_ACCEPTED)
    out[0] = 0xD83D; /* the surrogate pair of U+1F600 */
    out[1] = 0xDE00;
#else
    out[0] = 0x1F600;
    out[1] = 0;
#endif
}
