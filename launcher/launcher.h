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

/*
 * The walks behind AutoCopy and AutoRun, apart from what is done at each step, so that a card can be
 * checked by the launcher's own rules without acting on it. The launcher's visitor creates, copies
 * and starts; another only records. Every step of a walk reaches exactly one callback.
 */
#define FOLDER_SKIP_PATH_TOO_LONG 1u   /* the path does not fit OS_MAX_PATH characters: skipped */
#define FOLDER_SKIP_NO_COMMAND 2u      /* a shortcut that cannot be read or holds no '#': skipped */

/* What splitting a shortcut's command met (a set of bits; 0 for a plain command). */
#define SHORTCUT_UNCLOSED_QUOTE 1u     /* the target runs to the end; there are no arguments */
#define SHORTCUT_TEXT_AFTER_QUOTE 2u   /* text right after the closing quote, before any space, is dropped */

typedef struct FolderVisitor FolderVisitor;
struct FolderVisitor {
    void* Context;
    /* AutoCopy: an entry of the tree, with its destination (the path below the AutoCopy folder). */
    void (*Directory)(FolderVisitor* visitor, const WChar* source, const WChar* destination);
    void (*File)(FolderVisitor* visitor, const WChar* source, const WChar* destination);
    /* AutoRun: a program to start; entry is the AutoRun entry (the program itself, or the shortcut). */
    void (*Start)(FolderVisitor* visitor, const WChar* entry, const WChar* program, const WChar* arguments,
                  u32 shortcutFlags);
    /* An entry that is passed over: where is its folder (or the shortcut's path), name the entry's name. */
    void (*Skip)(FolderVisitor* visitor, u32 reason, const WChar* where, const WChar* name);
};

void WalkAutoCopy(const WChar* folder, FolderVisitor* visitor);
void WalkCopyTree(const WChar* source, u32 prefixLength, FolderVisitor* visitor);
void WalkAutoRun(const WChar* folder, u32 kind, FolderVisitor* visitor);
/* Splits a shortcut's command in place into target and arguments (0 when none); SHORTCUT_* bits. */
u32 SplitShortcutCommand(WChar* command, WChar** target, WChar** arguments);
/* OS_TRUE when the shortcut holds a command, which then replaces the path in its buffer. */
OsBool ReadShortcut(WChar* path);
void LaunchProgram(const WChar* program, const WChar* arguments);

#endif /* KALVORI_LAUNCHER_LAUNCHER_H */
