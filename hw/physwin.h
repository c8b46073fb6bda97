/*
 * Physical windows: ranges of the process's address space mapped uncached onto physical addresses.
 * A window is a pointer to 32-bit device words designating the physical address asked for, with
 * its two lowest bits dropped. Null on failure. The caller owns the window.
 */
#ifndef KALVORI_HW_PHYSWIN_H
#define KALVORI_HW_PHYSWIN_H

#include "platform/platform.h"

/* Maps the one 4 KiB page that holds the physical address. */
volatile u32* MapPhysWindow(u32 physical);
/* Maps length bytes from the physical address, in pieces of at most 32 MiB. */
volatile u32* MapPhysRegion(u32 physical, u32 length);
/* Releases a window made by either map operation. */
void UnmapPhysWindow(volatile u32* window);

#endif /* KALVORI_HW_PHYSWIN_H */
