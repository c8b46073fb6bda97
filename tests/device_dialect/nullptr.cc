/* Rejected: the nullptr keyword. Null pointers are written 0. */
#include "platform/platform.h"

const WChar* FirstName(const WChar* const* names, u32 count)
{
#if defined(KALVORI_DIALECT_ACCEPTED)
    return count ? names[0] : 0;
#else
    return count ? names[0] : nullptr;
#endif
}
