/*
 * Device-memory accessors: the only way the flash library and the pin module touch hardware.
 *
 * Every access through a physical window is one access of the stated width, performed exactly once
 * and in program order. On the module these are single volatile accesses. On the host the window's
 * pages are reserved but never backed: each access is handed to the simulated bus, which finds the
 * model that owns the physical address.
 */
#ifndef KALVORI_HW_DEVMEM_H
#define KALVORI_HW_DEVMEM_H

#include "platform/platform.h"

#if defined(KALVORI_HOST)

u32 HostDevRead32(const volatile u32* address);
void HostDevWrite32(volatile u32* address, u32 value);
void HostDevCopyFrom(void* destination, const volatile u8* source, u32 bytes);
void HostDevReadRepeated32(const volatile u32* address, u32* destination, u32 count);
void HostDevWriteRepeated32(volatile u32* address, const u32* source, u32 fill, u32 count);

inline u32 DevRead32(const volatile u32* address) { return HostDevRead32(address); }
inline void DevWrite32(volatile u32* address, u32 value) { HostDevWrite32(address, value); }
/* Block copy out of a window (the NOR read): any access width. */
inline void DevCopyFrom(void* destination, const volatile u8* source, u32 bytes)
{
    HostDevCopyFrom(destination, source, bytes);
}
/* A run of reads of one register (a FIFO): count single accesses in order, each word stored in turn;
   a null destination drops them. The host hands the run to the model in one call. */
inline void DevReadRepeated32(const volatile u32* address, u32* destination, u32 count)
{
    HostDevReadRepeated32(address, destination, count);
}
/* A run of writes to one register: count single accesses in order, of the source words in turn, or
   of fill each time when the source is null. */
inline void DevWriteRepeated32(volatile u32* address, const u32* source, u32 fill, u32 count)
{
    HostDevWriteRepeated32(address, source, fill, count);
}

#else

inline u32 DevRead32(const volatile u32* address) { return *address; }
inline void DevWrite32(volatile u32* address, u32 value) { *address = value; }
inline void DevCopyFrom(void* destination, const volatile u8* source, u32 bytes)
{
    u8* to = (u8*)destination;
    while (bytes--) *to++ = *source++;
}
inline void DevReadRepeated32(const volatile u32* address, u32* destination, u32 count)
{
    u32 word;
    while (count--) {
        word = *address;
        if (destination != 0) *destination++ = word;
    }
}
inline void DevWriteRepeated32(volatile u32* address, const u32* source, u32 fill, u32 count)
{
    while (count--) *address = source != 0 ? *source++ : fill;
}

#endif

/* The register at a byte offset of a window. Registers lie at multiples of 4; the address is
   computed as it stands, so that a misaligned offset faults (the module's cores check alignment, and
   so does the simulated bus) rather than reaching a neighbouring register. */
inline volatile u32* DevReg(volatile u32* window, u32 byteOffset)
{
    return (volatile u32*)((uptr)window + byteOffset);
}

/* The byte at any offset of a window, where a block copy starts. */
inline const volatile u8* DevByte(const volatile u32* window, u32 byteOffset)
{
    return (const volatile u8*)window + byteOffset;
}

#endif /* KALVORI_HW_DEVMEM_H */
