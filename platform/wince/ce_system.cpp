/*
 * The module's platform layer, part two: error values, message queues and device notifications,
 * the keyboard, the kernel I/O control, memory, time, strings, debug output and the processor.
 */
#include <stdlib.h> /* the wide-string routines: <string.h> or <stdlib.h>, depending on the SDK */
#include <string.h>

#include "platform/format.h"
#include "platform/platform.h"
#include "platform/wince/ce_services.h"

/* --- error values ------------------------------------------------------------------------------ */

u32 OsGetLastError(void)
{
    return GetLastError();
}

void OsSetLastError(u32 error)
{
    SetLastError(error);
}

/* --- message queues and device notifications --------------------------------------------------- */

OsHandle OsCreateMsgQueue(const WChar* name, OsMsgQueueOptions* options)
{
    if (!options) return CreateMsgQueue(name, 0);
    MSGQUEUEOPTIONS ce;
    ce.dwSize = options->Size;
    ce.dwFlags = options->Flags;
    ce.dwMaxMessages = options->MaxMessages;
    ce.cbMaxMessage = options->MaxMessage;
    ce.bReadAccess = options->ReadAccess;
    return CreateMsgQueue(name, &ce);
}

OsBool OsReadMsgQueue(OsHandle queue, void* buffer, u32 bufferBytes, u32* bytesRead, u32 timeoutMs,
                      u32* flags)
{
    DWORD read = 0;
    DWORD messageFlags = 0;
    BOOL ok = ReadMsgQueue(queue, buffer, bufferBytes, &read, timeoutMs, &messageFlags);
    if (bytesRead) *bytesRead = read;
    if (flags) *flags = messageFlags;
    return ok;
}

OsBool OsCloseMsgQueue(OsHandle queue)
{
    return CloseMsgQueue(queue);
}

u32 OsWaitForSingleObject(OsHandle handle, u32 timeoutMs)
{
    return WaitForSingleObject(handle, timeoutMs);
}

OsHandle OsRequestDeviceNotifications(const OsGuid* deviceClass, OsHandle queue, OsBool all)
{
    if (!deviceClass) return RequestDeviceNotifications(0, queue, all);
    GUID ce;
    ce.Data1 = deviceClass->Data1;
    ce.Data2 = deviceClass->Data2;
    ce.Data3 = deviceClass->Data3;
    for (u32 i = 0; i < 8; i++) ce.Data4[i] = deviceClass->Data4[i];
    return RequestDeviceNotifications(&ce, queue, all);
}

OsBool OsStopDeviceNotifications(OsHandle registration)
{
    return StopDeviceNotifications(registration);
}

/* --- keyboard ---------------------------------------------------------------------------------- */

i16 OsGetAsyncKeyState(i32 virtualKey)
{
    return GetAsyncKeyState(virtualKey);
}

/* --- kernel I/O control ------------------------------------------------------------------------ */

OsBool OsKernelIoControl(u32 ioControlCode, void* inBuffer, u32 inBytes, void* outBuffer,
                         u32 outBytes, u32* bytesReturned)
{
    /* starts from the caller's count, so that a control that reports none leaves it as it was */
    DWORD returned = bytesReturned ? *bytesReturned : 0;
    BOOL ok = KernelIoControl(ioControlCode, inBuffer, inBytes, outBuffer, outBytes,
                              bytesReturned ? &returned : 0);
    if (bytesReturned) *bytesReturned = returned;
    return ok;
}

/* --- memory ------------------------------------------------------------------------------------ */

void* OsVirtualAlloc(void* address, u32 bytes, u32 allocationType, u32 protect)
{
    return VirtualAlloc(address, bytes, allocationType, protect);
}

OsBool OsVirtualCopy(void* destination, void* source, u32 bytes, u32 protect)
{
    return VirtualCopy(destination, source, bytes, protect);
}

OsBool OsVirtualFree(void* address, u32 bytes, u32 freeType)
{
    return VirtualFree(address, bytes, freeType);
}

void* OsLocalAlloc(u32 flags, u32 bytes)
{
    return LocalAlloc(flags, bytes);
}

void* OsLocalFree(void* memory)
{
    return LocalFree(memory);
}

OsHandle OsCreateFileMapping(OsHandle file, void* security, u32 protect, u32 maximumSizeHigh,
                             u32 maximumSizeLow, const WChar* name)
{
    return CreateFileMappingW(file, (LPSECURITY_ATTRIBUTES)security, protect, maximumSizeHigh,
                              maximumSizeLow, name);
}

void* OsMapViewOfFile(OsHandle mapping, u32 desiredAccess, u32 offsetHigh, u32 offsetLow,
                      u32 bytesToMap)
{
    return MapViewOfFile(mapping, desiredAccess, offsetHigh, offsetLow, bytesToMap);
}

/* --- time -------------------------------------------------------------------------------------- */

u32 OsGetTickCount(void)
{
    return GetTickCount();
}

void OsSleep(u32 milliseconds)
{
    Sleep(milliseconds);
}

/* --- strings ----------------------------------------------------------------------------------- */

/* One character of the platform's narrow code page, which may take two bytes. A character that
   does not convert prints as '?'. */
static u32 CeWiden(const char* text, WChar* out)
{
    int bytes = IsDBCSLeadByte((BYTE)text[0]) && text[1] != 0 ? 2 : 1;
    if (MultiByteToWideChar(CP_ACP, 0, text, bytes, out, 1) != 1) *out = '?';
    return (u32)bytes;
}

i32 OsFormatV(WChar* buffer, u32 capacity, const WChar* format, va_list args)
{
    return PlatformFormatV(buffer, capacity, format, args, CeWiden);
}

i32 OsFormat(WChar* buffer, u32 capacity, const WChar* format, ...)
{
    va_list args;
    va_start(args, format);
    i32 written = PlatformFormatV(buffer, capacity, format, args, CeWiden);
    va_end(args);
    return written;
}

i32 OsStrICmp(const WChar* a, const WChar* b)
{
    return _wcsicmp(a, b);
}

u32 OsStrLen(const WChar* s)
{
    return (u32)wcslen(s);
}

WChar* OsStrCopy(WChar* destination, const WChar* source)
{
    return wcscpy(destination, source);
}

WChar* OsStrCatN(WChar* destination, const WChar* source, u32 count)
{
    return wcsncat(destination, source, count);
}

/* --- debug output ------------------------------------------------------------------------------ */

/* Characters of one formatted debug line; a longer line is cut. */
#define CE_DEBUG_LINE 1024

void OsDebugOut(const WChar* text)
{
    if (text) OutputDebugStringW(text);
}

/* Formatted here rather than by NKDbgPrintfW: the kernel's formatter has a buffer of its own size
   and its own idea of %S, while this one is bounded and prints what the simulator prints. */
void OsDebugPrintf(const WChar* format, ...)
{
    WChar line[CE_DEBUG_LINE];
    va_list args;
    va_start(args, format);
    PlatformFormatV(line, CE_DEBUG_LINE, format, args, CeWiden);
    va_end(args);
    OutputDebugStringW(line);
}

/* --- processor --------------------------------------------------------------------------------- */

/* cpu_main_id.asm (Microsoft ARM assembler) or cpu_main_id.S (GNU assembler): one coprocessor read,
   which needs the kernel's privilege, as the launcher has on the module. */
extern "C" u32 CeReadMainIdRegister(void);

#if !defined(_M_ARM) && !defined(__arm__) && !defined(KALVORI_DEVICE_CHECK)
#error "the module's platform layer is built for an ARM processor (or compiled only, by device_check)"
#endif

u32 OsReadCpuMainId(void)
{
    return CeReadMainIdRegister();
}
