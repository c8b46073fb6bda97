/*
 * The operating system's headers for the module's platform layer, plus the Windows CE services that
 * a desktop <windows.h> lacks.
 *
 * With a Windows CE compiler (UNDER_CE defined) the message-queue and device-notification services
 * come from the SDK's own <msgqueue.h> and <pnp.h>. The C++03 check build compiles this layer with a
 * 32-bit desktop Windows compiler, whose headers know none of them: there they are declared here,
 * from their documented signatures, so that every call is still type-checked. KernelIoControl and
 * VirtualCopy belong to the platform builder's headers, which an application SDK need not ship, so
 * they are declared here in both builds (a matching redeclaration is harmless).
 *
 * Only the platform layer includes this header; device code sees platform/platform.h alone.
 */
#ifndef KALVORI_PLATFORM_WINCE_CE_SERVICES_H
#define KALVORI_PLATFORM_WINCE_CE_SERVICES_H

#include <windows.h>

#if defined(UNDER_CE)

#include <msgqueue.h>
#include <pnp.h>

#else /* the check build's desktop headers */

extern "C" {

/* --- message queues ---------------------------------------------------------------------------- */

typedef struct MSGQUEUEOPTIONS_OS {
    DWORD dwSize;        /* bytes of this structure */
    DWORD dwFlags;
    DWORD dwMaxMessages; /* 0: no limit */
    DWORD cbMaxMessage;  /* largest message in bytes */
    BOOL bReadAccess;    /* TRUE: the handle reads, FALSE: it writes */
} MSGQUEUEOPTIONS, *LPMSGQUEUEOPTIONS, *PMSGQUEUEOPTIONS;

HANDLE WINAPI CreateMsgQueue(LPCWSTR lpszName, LPMSGQUEUEOPTIONS lpOptions);
BOOL WINAPI ReadMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbBufferSize, LPDWORD lpNumberOfBytesRead,
                         DWORD dwTimeout, DWORD* pdwFlags);
BOOL WINAPI CloseMsgQueue(HANDLE hMsgQ);

/* --- device notifications ---------------------------------------------------------------------- */

/* The message a notification queue receives: the device's class, whether it came or went, and its
   name (the mounted folder for the file-system mount class). */
typedef struct _DEVDETAIL {
    GUID guidDevClass;
    DWORD dwReserved;
    BOOL fAttached;
    int cbName;        /* bytes of szName */
    WCHAR szName[1];
} DEVDETAIL, *PDEVDETAIL;

HANDLE WINAPI RequestDeviceNotifications(const GUID* devclass, HANDLE hMsgQ, BOOL fAll);
BOOL WINAPI StopDeviceNotifications(HANDLE h);

} /* extern "C" */

#endif

extern "C" {

/* --- kernel services of the platform builder's headers ----------------------------------------- */

/* Passes a control code to the kernel's hardware abstraction layer. */
BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned);

/* Maps pages (physical ones with PAGE_PHYSICAL, the source then being the physical address divided
   by 256) into a range reserved with VirtualAlloc. */
BOOL VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect);

} /* extern "C" */

#ifndef PAGE_PHYSICAL
#define PAGE_PHYSICAL 0x400
#endif

#endif /* KALVORI_PLATFORM_WINCE_CE_SERVICES_H */
