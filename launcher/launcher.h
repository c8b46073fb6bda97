/* The launcher: the main routine, the mount watch, AutoCopy and AutoRun. */
#ifndef KALVORI_LAUNCHER_LAUNCHER_H
#define KALVORI_LAUNCHER_LAUNCHER_H

#include <stddef.h>

#include "platform/platform.h"

/* One mount notification as the queue delivers it: at most 96 bytes, little-endian. */
#define MOUNT_MESSAGE_BYTES 96u
#define MOUNT_NAME_OFFSET 28u
#define MOUNT_NAME_CHARS ((MOUNT_MESSAGE_BYTES - MOUNT_NAME_OFFSET) / 2u)

typedef struct MountMessage {
    OsGuid DeviceClass;
    u32 Reserved;
    u32 Attached;  /* nonzero: mounted; 0: removed */
    u32 NameBytes; /* byte length of the name */
    WChar Name[MOUNT_NAME_CHARS]; /* the mounted folder, zero-terminated when it fits */
} MountMessage;

OS_COMPILE_CHECK(LauncherCheckMountMessage, sizeof(MountMessage) == MOUNT_MESSAGE_BYTES);
OS_COMPILE_CHECK(LauncherCheckMountName, offsetof(MountMessage, Name) == MOUNT_NAME_OFFSET);

/* The class of FAT file-system mount notifications, {169E1941-04CE-4690-97AC-776187EB67CC}. */
extern const OsGuid FatMountClass;

/* The main routine; the start-up arguments are ignored. Returns 0. */
i32 WatchMounts(void* instance, void* previousInstance, WChar* commandLine, i32 showState);
void DrainMountQueue(OsHandle queue);
OsHandle OpenStore(const WChar* storeName);

/* The two kinds of AutoRun entries, served in this order; any other kind serves nothing. */
#define AUTORUN_PROGRAMS 0u  /* AutoRun\*.exe, started as they are */
#define AUTORUN_SHORTCUTS 1u /* AutoRun\*.lnk, whose targets are started */

void RunAutoCopy(const WChar* folder);
void CopyTree(const WChar* source, u32 prefixLength);
void RunAutoRun(const WChar* folder, u32 kind);
/* OS_TRUE when the shortcut holds a command, which then replaces the path in its buffer. */
OsBool ReadShortcut(WChar* path);
void LaunchProgram(const WChar* program, const WChar* arguments);

#endif /* KALVORI_LAUNCHER_LAUNCHER_H */
