/* Rejected: scoped enumerations. */
#include "platform/platform.h"

#if defined(KALVORI_DIALECT_ACCEPTED)
enum FlashKind { FlashKindNone, FlashKindNor, FlashKindNand };
#else
enum class FlashKind { None, Nor, Nand };
#endif

u32 KindCount()
{
    return 3;
}
