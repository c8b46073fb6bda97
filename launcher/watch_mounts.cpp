/*
 * The launcher's main routine: the tester hand-off, the internal flash disk, then the mount watch.
 * Every folder it is told about is served with AutoCopy and AutoRun (folder_actions.cpp).
 */
#include "launcher/launcher.h"

#include "tester/tester.h"

const OsGuid FatMountClass = {0x169E1941u, 0x04CEu, 0x4690u, {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};

#define STORE_NAME_MAX_CHARS 245u /* "\StoreMgr\" and the name stay within 260 characters */
#define FOLDER_VALUE_BYTES 520u
#define START_PAUSE_MS 1500u
#define DRAIN_READ_TIMEOUT_MS 1u
#define QUEUE_OPTIONS_BYTES 20u

static const WChar InternalStoreName[] = WSTR("DSK0:");
static const WChar FlashProfileKey[] = WSTR("System\\StorageManager\\Profiles\\MSFlash");
static const WChar FolderValueName[] = WSTR("Folder");

OS_COMPILE_CHECK(LauncherCheckQueueOptions, sizeof(OsMsgQueueOptions) == QUEUE_OPTIONS_BYTES);
OS_COMPILE_CHECK(LauncherCheckFolderValue, FOLDER_VALUE_BYTES == OS_MAX_PATH * sizeof(WChar));

/* --- helpers --- */

/* Shift counts when held now or pressed since the last query: any of the low 16 bits. */
static i32 ShiftIsSet(void)
{
    return ((u32)(u16)OsGetAsyncKeyState(OS_VK_SHIFT) & 0xFFFFu) != 0;
}

static void ServeFolder(const WChar* folder)
{
    RunAutoCopy(folder);
    RunAutoRun(folder, AUTORUN_PROGRAMS);
    RunAutoRun(folder, AUTORUN_SHORTCUTS);
}

/* The name at offset 28, read within the message: a name without a terminator inside the bytes
   delivered ends where the message ends. */
static void TakeMountName(const MountMessage* message, u32 bytesRead, WChar* name)
{
    u32 available = 0;
    u32 i;

    if (bytesRead > MOUNT_MESSAGE_BYTES) bytesRead = MOUNT_MESSAGE_BYTES;
    if (bytesRead > MOUNT_NAME_OFFSET) available = (bytesRead - MOUNT_NAME_OFFSET) / 2u;
    for (i = 0; i < available && message->Name[i] != 0; i++) name[i] = message->Name[i];
    name[i] = 0;
}

/* Serves the internal flash disk: the folder where the store "DSK0:" is mounted, as the registry
   names it. Without the store, or without a readable "Folder" value, there is nothing to serve. */
static void ServeInternalDisk(void)
{
    OsHandle store;
    OsHKey key;
    u32 disposition = 0;
    u32 bytes = FOLDER_VALUE_BYTES;
    u32 chars;
    i32 result;
    WChar folder[OS_MAX_PATH];
    OsFindData found;
    OsHandle search;

    store = OpenStore(InternalStoreName);
    if (store == OS_INVALID_HANDLE) return;
    OsCloseHandle(store); /* only a presence test */

    if (OsRegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, FlashProfileKey, 0, 0, 0, 0, 0, &key, &disposition) !=
        (i32)OS_ERROR_SUCCESS) {
        return;
    }
    result = OsRegQueryValueEx(key, FolderValueName, 0, 0, (u8*)folder, &bytes);
    OsRegCloseKey(key);
    /* A missing value, or one longer than the buffer (more data), names no folder. */
    if (result != (i32)OS_ERROR_SUCCESS) return;

    /* The value need not carry its terminator; one that fills the buffer without it is too long. */
    chars = bytes / sizeof(WChar);
    if (chars == 0) return;
    if (folder[chars - 1] != 0) {
        if (chars >= OS_MAX_PATH) return;
        folder[chars] = 0;
    }

    search = OsFindFirstFile(folder, &found);
    if (search == OS_INVALID_HANDLE) return;
    OsFindClose(search);
    if (ShiftIsSet()) return;
    ServeFolder(folder);
}

/* --- the store --- */

OsHandle OpenStore(const WChar* storeName)
{
    WChar path[OS_MAX_PATH];
    u32 i;

    for (i = 0; i < OS_MAX_PATH; i++) path[i] = 0;
    OsStrCopy(path, WSTR("\\StoreMgr\\"));
    if (storeName == 0) {
        /* On the module an unreadable name faults inside the append; the host's stand-in for such
           a name is a null pointer. Either way the open goes ahead with what the buffer holds. */
        OsSetLastError(OS_ERROR_BAD_ARGUMENTS);
    } else {
        OsStrCatN(path, storeName, STORE_NAME_MAX_CHARS);
    }
    return OsCreateFile(path, 0, 0, 0, 0, 0, 0);
}

/* --- the mount watch --- */

void DrainMountQueue(OsHandle queue)
{
    MountMessage message;
    u32 bytesRead;
    u32 flags;
    WChar folder[MOUNT_NAME_CHARS + 1];

    for (;;) {
        bytesRead = 0;
        if (!OsReadMsgQueue(queue, &message, MOUNT_MESSAGE_BYTES, &bytesRead, DRAIN_READ_TIMEOUT_MS, &flags)) {
            return;
        }
        /* Shift drops this message; the rest stay queued and the wait returns at once for them. */
        if (ShiftIsSet()) return;
        TakeMountName(&message, bytesRead, folder);
        /* A message without a name names no folder: served, "" would lead to the root's own
           \AutoCopy and \AutoRun. */
        if (folder[0] != 0) ServeFolder(folder);
    }
}

i32 WatchMounts(void* instance, void* previousInstance, WChar* commandLine, i32 showState)
{
    OsMsgQueueOptions options;
    OsHandle queue;
    OsHandle registration;

    (void)instance;
    (void)previousInstance;
    (void)commandLine;
    (void)showState;

    RunTesterHandOff();

    options.Size = QUEUE_OPTIONS_BYTES;
    options.Flags = 0;
    options.MaxMessages = 0;
    options.MaxMessage = MOUNT_MESSAGE_BYTES;
    options.ReadAccess = OS_TRUE;
    queue = OsCreateMsgQueue(0, &options);
    if (queue == 0) return 0;

    /* All: volumes mounted before now are announced too. */
    registration = OsRequestDeviceNotifications(&FatMountClass, queue, OS_TRUE);

    OsSleep(START_PAUSE_MS);
    ServeInternalDisk();

    while (OsWaitForSingleObject(queue, OS_INFINITE) == OS_WAIT_OBJECT_0) DrainMountQueue(queue);

    OsStopDeviceNotifications(registration);
    OsCloseMsgQueue(queue);
    return 0;
}
