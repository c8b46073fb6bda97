/*
 * Physical windows: a reservation of address space with physical pages mapped into it, uncached.
 * Nothing is kept here; the caller owns the window and releases it with UnmapPhysWindow.
 */
#include "hw/physwin.h"

#define PHYS_PAGE_BYTES 0x1000u
#define PHYS_PAGE_OFFSET_MASK 0xFFFu
#define PHYS_WORD_OFFSET_MASK 0xFFCu        /* in-page offset with the two lowest bits dropped */
#define PHYS_PIECE_BYTES 0x2000000u         /* the mapping service maps at most 32 MiB at a time */
#define PHYS_SOURCE_MASK 0x00FFFFF0u        /* a page address divided by 256 */
#define PHYS_PROTECT (OS_PAGE_READWRITE | OS_PAGE_NOCACHE | OS_PAGE_PHYSICAL)

OS_COMPILE_CHECK(PhysCheckProtect, PHYS_PROTECT == 0x604u);

/* The window in a (page-aligned) reservation: the word that holds the physical address. */
static volatile u32* PhysWindowIn(void* reservation, u32 physical)
{
    return (volatile u32*)reservation + (physical & PHYS_WORD_OFFSET_MASK) / 4u;
}

/* With OS_PAGE_PHYSICAL the mapping service takes the physical address divided by 256. */
static void* PhysSource(u32 pageAddress)
{
    return (void*)(uptr)((pageAddress >> 8) & PHYS_SOURCE_MASK);
}

volatile u32* MapPhysWindow(u32 physical)
{
    u8* reservation = (u8*)OsVirtualAlloc(0, PHYS_PAGE_BYTES, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    if (reservation == 0) return 0;

    if (!OsVirtualCopy(reservation, PhysSource(physical), PHYS_PAGE_BYTES, PHYS_PROTECT)) {
        OsVirtualFree(reservation, 0, OS_MEM_RELEASE);
        return 0;
    }
    return PhysWindowIn(reservation, physical);
}

volatile u32* MapPhysRegion(u32 physical, u32 length)
{
    u32 inPage = physical & PHYS_PAGE_OFFSET_MASK;
    u32 page = physical & ~PHYS_PAGE_OFFSET_MASK;
    u32 span;
    u32 offset;
    u32 remaining;
    u8* reservation;

    /* The span must neither wrap nor run past the top of the physical address space; a wrapped
       span would map less than the caller goes on to use. */
    if (length > 0xFFFFFFFFu - inPage - PHYS_PAGE_OFFSET_MASK) return 0;
    span = (inPage + length + PHYS_PAGE_OFFSET_MASK) & ~PHYS_PAGE_OFFSET_MASK;
    /* Zero pages map nothing: there is no window to give. */
    if (span == 0) return 0;
    if (span - 1 > 0xFFFFFFFFu - page) return 0;

    reservation = (u8*)OsVirtualAlloc(0, span, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    if (reservation == 0) return 0;

    offset = 0;
    remaining = span;
    while (remaining != 0) {
        u32 piece = remaining < PHYS_PIECE_BYTES ? remaining : PHYS_PIECE_BYTES;
        if (!OsVirtualCopy(reservation + offset, PhysSource(page), piece, PHYS_PROTECT)) {
            /* Releasing the reservation also drops the pieces already mapped. */
            OsVirtualFree(reservation, 0, OS_MEM_RELEASE);
            return 0;
        }
        remaining -= piece;
        page += PHYS_PIECE_BYTES;
        offset += PHYS_PIECE_BYTES;
    }
    return PhysWindowIn(reservation, physical);
}

void UnmapPhysWindow(volatile u32* window)
{
    /* Every window lies in the first page of its reservation, so its page is the base. */
    uptr base = (uptr)window & ~(uptr)PHYS_PAGE_OFFSET_MASK;
    if (window == 0) return;
    OsVirtualFree((void*)base, 0, OS_MEM_RELEASE);
}
