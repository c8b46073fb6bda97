/*
 * The platform layer: the one interface through which the launcher, the tester hand-off and the flash
 * library reach the operating system.
 *
 * On the module every call maps onto one Windows CE 5.0 core service (platform/wince/). On Linux the
 * same calls are served by a simulated module (platform/host/), so the device code runs unchanged.
 *
 * This header is device code: it compiles as C++03 with a 16-bit wide character, and it never
 * includes an operating-system header, so that the module build can include <windows.h> beside it.
 * Every name here therefore carries the Os prefix (OS_ for constants).
 */
#ifndef KALVORI_PLATFORM_PLATFORM_H
#define KALVORI_PLATFORM_PLATFORM_H

#include <stdarg.h>
#include <stddef.h>

/* --- fixed-width types --------------------------------------------------------------------- */

typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
typedef signed short i16;
typedef signed int i32;
typedef size_t uptr; /* an unsigned integer as wide as a pointer */

/* The module's compilers predate static_assert: a negative array size stops the build. */
#define OS_COMPILE_CHECK(name, cond) typedef char name[(cond) ? 1 : -1]

OS_COMPILE_CHECK(OsCheckU8, sizeof(u8) == 1);
OS_COMPILE_CHECK(OsCheckU16, sizeof(u16) == 2);
OS_COMPILE_CHECK(OsCheckU32, sizeof(u32) == 4);
OS_COMPILE_CHECK(OsCheckUptr, sizeof(uptr) == sizeof(void*));

/* --- the 16-bit character ------------------------------------------------------------------ */

/* UTF-16 code unit: wchar_t where it is 16 bits wide (Windows targets, and ARM builds made with
   -fshort-wchar), char16_t on the host. */
#if defined(_WIN32) || defined(UNDER_CE) || (defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2)
typedef wchar_t WChar;
#define WSTR(s) L##s
#else
typedef char16_t WChar;
#define WSTR(s) u##s
#endif

OS_COMPILE_CHECK(OsCheckWChar, sizeof(WChar) == 2);

/* --- module-level state ---------------------------------------------------------------------- */

/* Marks a module-level variable of the device code. A process on the module starts with these at
   their initial values; the host simulator restores them when it simulates a fresh start of the
   launcher, so several start-ups can run inside one test. */
#if defined(KALVORI_HOST)
#define DEVICE_STATE __attribute__((section("kalvori_device_state")))
#else
#define DEVICE_STATE
#endif

/* --- basic values ---------------------------------------------------------------------------- */

typedef int OsBool; /* nonzero = true */
typedef void* OsHandle;

#define OS_TRUE 1
#define OS_FALSE 0
#define OS_INVALID_HANDLE ((OsHandle)(uptr)-1)

/* Error codes, as GetLastError reports them on the module. */
#define OS_ERROR_SUCCESS 0u
#define OS_ERROR_FILE_NOT_FOUND 2u
#define OS_ERROR_PATH_NOT_FOUND 3u
#define OS_ERROR_ACCESS_DENIED 5u
#define OS_ERROR_INVALID_HANDLE 6u
#define OS_ERROR_NOT_ENOUGH_MEMORY 8u
#define OS_ERROR_NO_MORE_FILES 18u
#define OS_ERROR_WRITE_FAULT 29u
#define OS_ERROR_READ_FAULT 30u
#define OS_ERROR_GEN_FAILURE 31u
#define OS_ERROR_SHARING_VIOLATION 32u
#define OS_ERROR_NOT_SUPPORTED 50u
#define OS_ERROR_FILE_EXISTS 80u
#define OS_ERROR_INVALID_PARAMETER 87u
#define OS_ERROR_DISK_FULL 112u
#define OS_ERROR_INSUFFICIENT_BUFFER 122u
#define OS_ERROR_INVALID_NAME 123u
#define OS_ERROR_BAD_ARGUMENTS 160u
#define OS_ERROR_ALREADY_EXISTS 183u
#define OS_ERROR_MORE_DATA 234u
#define OS_ERROR_DIRECTORY 267u
#define OS_ERROR_NO_NETWORK 1222u /* "network not present" */
#define OS_ERROR_TIMEOUT 1460u

u32 OsGetLastError(void);
void OsSetLastError(u32 error);

/* --- files and directories ----------------------------------------------------------------------- */

#define OS_GENERIC_READ 0x80000000u
#define OS_GENERIC_WRITE 0x40000000u
#define OS_FILE_SHARE_READ 0x1u
#define OS_FILE_SHARE_WRITE 0x2u

#define OS_CREATE_NEW 1u
#define OS_CREATE_ALWAYS 2u
#define OS_OPEN_EXISTING 3u
#define OS_OPEN_ALWAYS 4u
#define OS_TRUNCATE_EXISTING 5u

#define OS_FILE_ATTRIBUTE_READONLY 0x01u
#define OS_FILE_ATTRIBUTE_HIDDEN 0x02u
#define OS_FILE_ATTRIBUTE_DIRECTORY 0x10u
#define OS_FILE_ATTRIBUTE_ARCHIVE 0x20u
#define OS_FILE_ATTRIBUTE_TEMPORARY 0x100u /* on a folder: where a volume is mounted */
#define OS_FILE_ATTRIBUTE_NORMAL 0x80u
#define OS_INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

/* Characters of a path buffer. */
#define OS_MAX_PATH 260

/* Paths are absolute device paths ("\Windows\x.dll"). A path naming a store, "\StoreMgr\" followed
   by the store's name, opens that store. Returns OS_INVALID_HANDLE on failure. */
OsHandle OsCreateFile(const WChar* name, u32 access, u32 shareMode, void* security, u32 disposition,
                      u32 flagsAndAttributes, OsHandle templateFile);
OsBool OsReadFile(OsHandle file, void* buffer, u32 bytesToRead, u32* bytesRead, void* overlapped);
OsBool OsWriteFile(OsHandle file, const void* buffer, u32 bytesToWrite, u32* bytesWritten,
                   void* overlapped);
OsBool OsCloseHandle(OsHandle handle);
OsBool OsDeleteFile(const WChar* name);

/* OS_INVALID_FILE_ATTRIBUTES on failure, with the reason in the last error. */
u32 OsGetFileAttributes(const WChar* name);

OsBool OsCreateDirectory(const WChar* name, void* security);

/* Copies a file, overwriting an existing destination unless failIfExists is set. */
OsBool OsCopyFile(const WChar* existingName, const WChar* newName, OsBool failIfExists);

/* One directory entry of an enumeration. Enumerations never yield "." or "..". */
typedef struct OsFindData {
    u32 FileAttributes;
    u32 FileSize;
    WChar FileName[OS_MAX_PATH];
} OsFindData;

/* The pattern's last component may hold the wildcards '*' and '?'; matching ignores case. Returns
   OS_INVALID_HANDLE when nothing matches. */
OsHandle OsFindFirstFile(const WChar* pattern, OsFindData* found);
OsBool OsFindNextFile(OsHandle search, OsFindData* found);
OsBool OsFindClose(OsHandle search);

/* --- processes ----------------------------------------------------------------------------- */

typedef struct OsProcessInformation {
    OsHandle Process;
    OsHandle Thread;
    u32 ProcessId;
    u32 ThreadId;
} OsProcessInformation;

OsBool OsCreateProcess(const WChar* imageName, const WChar* commandLine, void* processSecurity,
                       void* threadSecurity, OsBool inheritHandles, u32 creationFlags,
                       void* environment, const WChar* currentDirectory, void* startupInfo,
                       OsProcessInformation* processInformation);

/* --- registry -------------------------------------------------------------------------------- */

typedef void* OsHKey;

#define OS_HKEY_LOCAL_MACHINE ((OsHKey)(uptr)0x80000002u)

#define OS_REG_NONE 0u
#define OS_REG_SZ 1u
#define OS_REG_BINARY 3u
#define OS_REG_DWORD 4u

/* Both return an error code, OS_ERROR_SUCCESS on success. */
i32 OsRegCreateKeyEx(OsHKey root, const WChar* subKey, u32 reserved, WChar* keyClass, u32 options,
                     u32 desiredAccess, void* security, OsHKey* result, u32* disposition);
i32 OsRegQueryValueEx(OsHKey key, const WChar* valueName, u32* reserved, u32* type, u8* data,
                      u32* dataBytes);
i32 OsRegCloseKey(OsHKey key);

/* --- message queues and device notifications --------------------------------------------------- */

/* The queue options, in the field order the operating system expects (20 bytes). */
typedef struct OsMsgQueueOptions {
    u32 Size;        /* bytes of this structure */
    u32 Flags;
    u32 MaxMessages; /* 0: no limit */
    u32 MaxMessage;  /* largest message in bytes */
    OsBool ReadAccess;
} OsMsgQueueOptions;

OS_COMPILE_CHECK(OsCheckMsgQueueOptions, sizeof(OsMsgQueueOptions) == 20);

typedef struct OsGuid {
    u32 Data1;
    u16 Data2;
    u16 Data3;
    u8 Data4[8];
} OsGuid;

OS_COMPILE_CHECK(OsCheckGuid, sizeof(OsGuid) == 16);

#define OS_INFINITE 0xFFFFFFFFu
#define OS_WAIT_OBJECT_0 0u
#define OS_WAIT_TIMEOUT 0x102u
#define OS_WAIT_FAILED 0xFFFFFFFFu

/* A null name creates an unnamed queue. Returns null on failure. */
OsHandle OsCreateMsgQueue(const WChar* name, OsMsgQueueOptions* options);
OsBool OsReadMsgQueue(OsHandle queue, void* buffer, u32 bufferBytes, u32* bytesRead, u32 timeoutMs,
                      u32* flags);
OsBool OsCloseMsgQueue(OsHandle queue);

/* A queue is signalled while it holds a message. */
u32 OsWaitForSingleObject(OsHandle handle, u32 timeoutMs);

/* Sends a message to the queue for every device of the class that comes or goes; with all set,
   also one for every device already present. Returns null on failure. */
OsHandle OsRequestDeviceNotifications(const OsGuid* deviceClass, OsHandle queue, OsBool all);
OsBool OsStopDeviceNotifications(OsHandle registration);

/* --- keyboard ---------------------------------------------------------------------------------- */

#define OS_VK_SHIFT 16

/* Bit 15: the key is down now; bit 0: it was pressed since the last query. */
i16 OsGetAsyncKeyState(i32 virtualKey);

/* --- kernel I/O control ---------------------------------------------------------------------- */

OsBool OsKernelIoControl(u32 ioControlCode, void* inBuffer, u32 inBytes, void* outBuffer,
                         u32 outBytes, u32* bytesReturned);

/* --- memory ------------------------------------------------------------------------------------ */

#define OS_MEM_RESERVE 0x2000u
#define OS_MEM_RELEASE 0x8000u
#define OS_PAGE_NOACCESS 0x01u
#define OS_PAGE_READWRITE 0x04u
#define OS_PAGE_NOCACHE 0x200u
#define OS_PAGE_PHYSICAL 0x400u

/* Reserves address space (OS_MEM_RESERVE). */
void* OsVirtualAlloc(void* address, u32 bytes, u32 allocationType, u32 protect);
/* Maps physical pages into a reservation. With OS_PAGE_PHYSICAL, source is the physical address
   divided by 256. */
OsBool OsVirtualCopy(void* destination, void* source, u32 bytes, u32 protect);
OsBool OsVirtualFree(void* address, u32 bytes, u32 freeType);

#define OS_LMEM_FIXED 0u

void* OsLocalAlloc(u32 flags, u32 bytes);
void* OsLocalFree(void* memory);

#define OS_FILE_MAP_ALL_ACCESS 0xF001Fu

/* Named shared memory. With file OS_INVALID_HANDLE the region is backed by the paging file: it is
   created zero-filled, or opened when a region of that name exists already. Both return null on
   failure. */
OsHandle OsCreateFileMapping(OsHandle file, void* security, u32 protect, u32 maximumSizeHigh,
                             u32 maximumSizeLow, const WChar* name);
void* OsMapViewOfFile(OsHandle mapping, u32 desiredAccess, u32 offsetHigh, u32 offsetLow,
                      u32 bytesToMap);

/* --- time -------------------------------------------------------------------------------------- */

u32 OsGetTickCount(void);
void OsSleep(u32 milliseconds);

/* --- strings ----------------------------------------------------------------------------------- */

/* Formats into buffer, which holds capacity characters: %s takes a UTF-16 string, %S a narrow
   string (converted from the platform's narrow code page), %d a signed and %u an unsigned decimal,
   %x hexadecimal, %% a percent sign. Returns the number of characters written, or -1 when the
   result does not fit; the buffer then holds as much as fits, terminated. */
i32 OsFormat(WChar* buffer, u32 capacity, const WChar* format, ...);
i32 OsFormatV(WChar* buffer, u32 capacity, const WChar* format, va_list args);

/* Compares without regard to case: <0, 0 or >0. */
i32 OsStrICmp(const WChar* a, const WChar* b);
u32 OsStrLen(const WChar* s);
WChar* OsStrCopy(WChar* destination, const WChar* source);
/* Appends at most count characters of source, then a terminator. */
WChar* OsStrCatN(WChar* destination, const WChar* source, u32 count);

/* --- debug output ------------------------------------------------------------------------------ */

void OsDebugOut(const WChar* text);
void OsDebugPrintf(const WChar* format, ...);

/* --- processor --------------------------------------------------------------------------------- */

/* The main ID register (coprocessor 15, register c0, opcode 0). */
u32 OsReadCpuMainId(void);

#endif /* KALVORI_PLATFORM_PLATFORM_H */
