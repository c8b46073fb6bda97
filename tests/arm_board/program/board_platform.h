/*
 * The board program's platform layer: platform/platform.h served on QEMU's "virt" ARM board with
 * nothing but the board's hardware, plus what the test needs to look at afterwards.
 *
 * - Memory: the MMU maps the board's RAM and its serial port one to one; physical windows
 *   (VirtualAlloc, VirtualCopy, VirtualFree) are made in a page table, so the device code reaches
 *   the flash only through the windows it maps. The module's physical addresses are translated to
 *   the board's: the NOR flash at module physical 0 is the board's second flash bank (0x04000000);
 *   the GPIO page (0x40E00000) and the pin-mux page (0x40E10000) are memory pages standing in for
 *   registers the board does not have; anything else has no device and cannot be mapped. Alignment
 *   checking is on, as on the module's cores: a misaligned access stops the run.
 * - A static arena for LocalAlloc and the shared memory; files and started programs are kept in
 *   memory; the boot configuration holds the item the test sets.
 * - Debug output goes to the board's serial port (and is kept for the test); the run ends through
 *   semihosting, with status 0 only when the program says it passed.
 */
#ifndef KALVORI_TESTS_ARM_BOARD_PROGRAM_BOARD_PLATFORM_H
#define KALVORI_TESTS_ARM_BOARD_PROGRAM_BOARD_PLATFORM_H

#include "platform/platform.h"

/* Turns the MMU on; before it nothing of the platform may be used. */
void BoardStartPlatform(void);
/* Ends the run: QEMU exits with status 0 when passed is nonzero, 1 otherwise. */
void BoardExit(i32 passed);

/* The main ID register as the core reports it, before the platform presents the module's. */
u32 BoardCoreMainId(void);

/* Boot-configuration item 12, as the kernel I/O control delivers it. */
void BoardSetBootItem12(u32 value);

/* A file written through the platform; null when there is none of that name. */
const u8* BoardFileData(const WChar* name, u32* size);
u32 BoardFileCount(void);
/* Programs started, in order. */
u32 BoardStartedCount(void);
const WChar* BoardStarted(u32 index);
/* Handles (files, processes, threads, mappings) not yet closed, and closes of unknown handles. */
u32 BoardOpenHandles(void);
u32 BoardBadHandleCloses(void);
/* Arena bytes allocated and not freed, and frees of blocks the arena never handed out. */
u32 BoardArenaInUse(void);
u32 BoardBadFrees(void);
/* Windows mapped and not released. */
u32 BoardLiveReservations(void);

/* The memory page that stands in for the GPIO registers (module physical 0x40E00000). */
volatile u32* BoardGpioStandIn(void);

/* The debug output since the last clear, as narrow text. */
const char* BoardDebugText(void);
void BoardClearDebugText(void);

#endif /* KALVORI_TESTS_ARM_BOARD_PROGRAM_BOARD_PLATFORM_H */
