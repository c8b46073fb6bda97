/*
 * AutoCopy and AutoRun: what a mounted folder brings along. The AutoCopy tree is copied onto the
 * root, then the AutoRun programs start, then the targets of the AutoRun shortcuts.
 *
 * Paths are built in 260-character buffers. A path that does not fit is skipped, never cut short:
 * a shortened path would name a different file.
 */
#include "launcher/launcher.h"

#define SHORTCUT_BUFFER_BYTES 256u
#define SHORTCUT_READ_BYTES (SHORTCUT_BUFFER_BYTES - 1u)
#define NETWORK_RETRIES 3u
#define NETWORK_RETRY_PAUSE_MS 1000u
#define QUOTE 0x22

/* --- helpers --- */

static i32 IsDotEntry(const WChar* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

/* Splits a shortcut's command in place into its target and its arguments, and starts it. */
static void LaunchShortcutCommand(WChar* command)
{
    WChar* target = command;
    WChar* scan = command;
    WChar* arguments = 0;

    if (command[0] == QUOTE) {
        target = command + 1;
        scan = target;
        while (*scan != 0 && *scan != QUOTE) scan++;
        if (*scan == QUOTE) {
            *scan = 0;
            scan++;
        }
        /* Without a closing quote the scan stands on the terminator: no arguments. */
    }
    while (*scan != 0 && *scan != ' ') scan++;
    if (*scan == ' ') {
        *scan = 0;
        if (scan[1] != 0) arguments = scan + 1;
    }
    LaunchProgram(target, arguments);
}

/* --- AutoCopy --- */

void RunAutoCopy(const WChar* folder)
{
    WChar source[OS_MAX_PATH];

    if (OsFormat(source, OS_MAX_PATH, WSTR("%s\\AutoCopy"), folder) < 0) return;
    CopyTree(source, OsStrLen(source));
}

void CopyTree(const WChar* source, u32 prefixLength)
{
    WChar path[OS_MAX_PATH];
    OsFindData entry;
    OsHandle search;

    if (OsFormat(path, OS_MAX_PATH, WSTR("%s\\*"), source) < 0) return;
    search = OsFindFirstFile(path, &entry);
    if (search == OS_INVALID_HANDLE) return;
    do {
        if (IsDotEntry(entry.FileName)) continue;
        if (OsFormat(path, OS_MAX_PATH, WSTR("%s\\%s"), source, entry.FileName) < 0) continue;
        if (entry.FileAttributes & OS_FILE_ATTRIBUTE_DIRECTORY) {
            /* An existing directory, or one that cannot be made, is no reason to stop. */
            OsCreateDirectory(path + prefixLength, 0);
            CopyTree(path, prefixLength);
        } else {
            OsCopyFile(path, path + prefixLength, OS_FALSE);
        }
    } while (OsFindNextFile(search, &entry));
    OsFindClose(search);
}

/* --- AutoRun --- */

void RunAutoRun(const WChar* folder, u32 kind)
{
    WChar path[OS_MAX_PATH];
    OsFindData entry;
    OsHandle search;
    const WChar* pattern;

    if (kind == AUTORUN_PROGRAMS) {
        pattern = WSTR("%s\\AutoRun\\*.exe");
    } else if (kind == AUTORUN_SHORTCUTS) {
        pattern = WSTR("%s\\AutoRun\\*.lnk");
    } else {
        return;
    }
    if (OsFormat(path, OS_MAX_PATH, pattern, folder) < 0) return;
    search = OsFindFirstFile(path, &entry);
    if (search == OS_INVALID_HANDLE) return;
    do {
        if (entry.FileAttributes & OS_FILE_ATTRIBUTE_DIRECTORY) continue;
        if (OsFormat(path, OS_MAX_PATH, WSTR("%s\\AutoRun\\%s"), folder, entry.FileName) < 0) continue;
        if (kind == AUTORUN_PROGRAMS) {
            LaunchProgram(path, 0);
        } else if (ReadShortcut(path)) {
            LaunchShortcutCommand(path);
        }
    } while (OsFindNextFile(search, &entry));
    OsFindClose(search);
}

OsBool ReadShortcut(WChar* path)
{
    u8 content[SHORTCUT_BUFFER_BYTES];
    u32 bytesRead = 0;
    u32 i;
    OsHandle file;

    file = OsCreateFile(path, OS_GENERIC_READ, OS_FILE_SHARE_READ, 0, OS_OPEN_EXISTING, 0, 0);
    if (file == OS_INVALID_HANDLE) return OS_FALSE;
    if (!OsReadFile(file, content, SHORTCUT_READ_BYTES, &bytesRead, 0) || bytesRead > SHORTCUT_READ_BYTES) {
        bytesRead = 0; /* a failed read holds no command */
    }
    content[bytesRead] = 0;
    OsCloseHandle(file);

    for (i = 0; content[i] != 0 && content[i] != '#'; i++) {
    }
    if (content[i] == 0) return OS_FALSE;
    /* At most 254 narrow characters follow the '#': they always fit the path buffer. */
    if (OsFormat(path, OS_MAX_PATH, WSTR("%S"), (const char*)(content + i + 1)) < 0) return OS_FALSE;
    return OS_TRUE;
}

/* --- launching --- */

void LaunchProgram(const WChar* program, const WChar* arguments)
{
    u32 retries = 0;
    u32 error;
    OsProcessInformation process;

    /* A program on a network share may be asked for before the network is up: wait it out. */
    while (OsGetFileAttributes(program) == OS_INVALID_FILE_ATTRIBUTES) {
        error = OsGetLastError();
        if (error != OS_ERROR_NO_NETWORK) {
            OsDebugPrintf(WSTR("ERROR: Cannot Access %s (Error %d)\r\n"), program, (i32)error);
            return;
        }
        OsDebugPrintf(WSTR("ERROR: Network not ready to Access %s"), program);
        if (retries == NETWORK_RETRIES) {
            OsDebugPrintf(WSTR(", giving up\r\n"));
            return;
        }
        OsDebugPrintf(WSTR(", retrying in 1 second\r\n"));
        OsSleep(NETWORK_RETRY_PAUSE_MS);
        retries++;
    }

    if (!OsCreateProcess(program, arguments, 0, 0, OS_FALSE, 0, 0, 0, 0, &process)) {
        OsDebugPrintf(WSTR("ERROR: Failed Launching %s (Error %d)\r\n"), program, (i32)OsGetLastError());
        return;
    }
    /* The program is not waited for; its handles are not needed. */
    OsCloseHandle(process.Thread);
    OsCloseHandle(process.Process);
}
