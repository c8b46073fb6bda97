/* Rejected: lambdas. A callback is a plain function. */
#include "platform/platform.h"

typedef i32 (*ProgressFn)(u32 done, u32 total);

#if defined(KALVORI_DIALECT_ACCEPTED)
static i32 KeepGoing(u32, u32)
{
    return 1;
}

ProgressFn ChooseProgress()
{
    return KeepGoing;
}
#else
ProgressFn ChooseProgress()
{
    return [](u32, u32) -> i32 { return 1; };
}
#endif
