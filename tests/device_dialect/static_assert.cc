/* Rejected: static_assert. Compile-time checks are written with OS_COMPILE_CHECK. */
#include "platform/platform.h"

typedef struct Pair {
    u32 First;
    u32 Second;
} Pair;

#if defined(KALVORI_DIALECT_ACCEPTED)
OS_COMPILE_CHECK(PairCheckSize, sizeof(Pair) == 8);
#else
static_assert(sizeof(Pair) == 8, "two words");
#endif
