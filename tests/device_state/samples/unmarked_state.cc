/* A device source whose module-level variables come with and without the DEVICE_STATE mark: the
   sample on which the device-state check must find exactly the unmarked mutable ones. Built into a
   library of its own, never linked into a program. */
#include "platform/platform.h"

DEVICE_STATE u32 MarkedCount = 0;
const u32 ReadOnlyTable[2] = {1, 2};

u32 UnmarkedCount;           /* zero-filled */
static i32 UnmarkedFlag = 1; /* initialised */

i32 SampleTouch(void)
{
    static i32 calls; /* a function's own static lives as long as the module's variables */
    calls++;
    MarkedCount++;
    UnmarkedCount++;
    UnmarkedFlag = -UnmarkedFlag;
    return UnmarkedFlag + calls + (i32)ReadOnlyTable[calls & 1];
}
