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

u32 SplitShortcutCommand(WChar* command, WChar** target, WChar** arguments)
{
    WChar* scan = command;
    u32 flags = 0;

    *target = command;
    *arguments = 0;
    if (command[0] == QUOTE) {
        *target = command + 1;
        scan = *target;
        while (*scan != 0 && *scan != QUOTE) scan++;
        if (*scan == QUOTE) {
            *scan = 0;
            scan++;
            if (*scan != 0 && *scan != ' ') flags |= SHORTCUT_TEXT_AFTER_QUOTE;
        } else {
            /* Without a closing quote the scan stands on the terminator: no arguments. */
            flags |= SHORTCUT_UNCLOSED_QUOTE;
        }
    }
    while (*scan != 0 && *scan != ' ') scan++;
    if (*scan == ' ') {
        *scan = 0;
        if (scan[1] != 0) *arguments = scan + 1;
    }
    return flags;
}

/* --- the walks --- */

void WalkAutoCopy(const WChar* folder, FolderVisitor* visitor)
{
    WChar source[OS_MAX_PATH];

    if (OsFormat(source, OS_MAX_PATH, WSTR("%s\\AutoCopy"), folder) < 0) {
        visitor->Skip(visitor, FOLDER_SKIP_PATH_TOO_LONG, folder, WSTR("AutoCopy"));
        return;
    }
    WalkCopyTree(source, OsStrLen(source), visitor);
}

/* What every level of one tree's walk shares: the path being walked and the entry just found.
   Each level needs its entry only until it has built the entry's path, and its path only up to
   its own length, so one of each serves the whole tree and a level's frame stays small however
   deep the tree goes (the path limit allows some 125 levels). */
typedef struct CopyTreeWalk {
    WChar Path[OS_MAX_PATH]; /* the level's source, then "\" and the entry's name after it */
    OsFindData Entry;
    u32 PrefixLength;
    FolderVisitor* Visitor;
} CopyTreeWalk;

/* Appends "\" and name to the level's source, the first length characters of the walk's path.
   A path that does not fit is refused whole, and the level's source is left terminated for the
   visitor to name. */
static i32 ExtendPath(CopyTreeWalk* walk, u32 length, const WChar* name)
{
    if (OsFormat(walk->Path + length, OS_MAX_PATH - length, WSTR("\\%s"), name) >= 0) return 1;
    walk->Path[length] = 0;
    return 0;
}

/* Walks the contents of the folder whose path is the walk's first length characters. */
static void CopyTreeLevel(CopyTreeWalk* walk, u32 length)
{
    FolderVisitor* visitor = walk->Visitor;
    OsHandle search;

    if (!ExtendPath(walk, length, WSTR("*"))) {
        visitor->Skip(visitor, FOLDER_SKIP_PATH_TOO_LONG, walk->Path, WSTR("*"));
        return;
    }
    search = OsFindFirstFile(walk->Path, &walk->Entry);
    if (search == OS_INVALID_HANDLE) return;
    do {
        if (IsDotEntry(walk->Entry.FileName)) continue;
        if (!ExtendPath(walk, length, walk->Entry.FileName)) {
            visitor->Skip(visitor, FOLDER_SKIP_PATH_TOO_LONG, walk->Path, walk->Entry.FileName);
            continue;
        }
        if (walk->Entry.FileAttributes & OS_FILE_ATTRIBUTE_DIRECTORY) {
            visitor->Directory(visitor, walk->Path, walk->Path + walk->PrefixLength);
            CopyTreeLevel(walk, length + 1u + OsStrLen(walk->Entry.FileName));
        } else {
            visitor->File(visitor, walk->Path, walk->Path + walk->PrefixLength);
        }
    } while (OsFindNextFile(search, &walk->Entry));
    OsFindClose(search);
}

void WalkCopyTree(const WChar* source, u32 prefixLength, FolderVisitor* visitor)
{
    CopyTreeWalk walk;
    i32 length = OsFormat(walk.Path, OS_MAX_PATH, WSTR("%s"), source);

    if (length < 0) {
        visitor->Skip(visitor, FOLDER_SKIP_PATH_TOO_LONG, source, WSTR("*"));
        return;
    }
    walk.PrefixLength = prefixLength;
    walk.Visitor = visitor;
    CopyTreeLevel(&walk, (u32)length);
}

void WalkAutoRun(const WChar* folder, u32 kind, FolderVisitor* visitor)
{
    WChar path[OS_MAX_PATH];
    WChar entryPath[OS_MAX_PATH];
    OsFindData entry;
    OsHandle search;
    const WChar* pattern;
    WChar* target;
    WChar* arguments;
    u32 flags;

    if (kind == AUTORUN_PROGRAMS) {
        pattern = WSTR("%s\\AutoRun\\*.exe");
    } else if (kind == AUTORUN_SHORTCUTS) {
        pattern = WSTR("%s\\AutoRun\\*.lnk");
    } else {
        return;
    }
    if (OsFormat(path, OS_MAX_PATH, pattern, folder) < 0) {
        visitor->Skip(visitor, FOLDER_SKIP_PATH_TOO_LONG, folder, WSTR("AutoRun"));
        return;
    }
    search = OsFindFirstFile(path, &entry);
    if (search == OS_INVALID_HANDLE) return;
    do {
        if (entry.FileAttributes & OS_FILE_ATTRIBUTE_DIRECTORY) continue;
        if (OsFormat(path, OS_MAX_PATH, WSTR("%s\\AutoRun\\%s"), folder, entry.FileName) < 0) {
            visitor->Skip(visitor, FOLDER_SKIP_PATH_TOO_LONG, folder, entry.FileName);
            continue;
        }
        if (kind == AUTORUN_PROGRAMS) {
            visitor->Start(visitor, path, path, 0, 0);
            continue;
        }
        /* The shortcut's command replaces its path in the buffer: keep the path for the visitor. */
        OsStrCopy(entryPath, path);
        if (!ReadShortcut(path)) {
            visitor->Skip(visitor, FOLDER_SKIP_NO_COMMAND, entryPath, entry.FileName);
            continue;
        }
        flags = SplitShortcutCommand(path, &target, &arguments);
        visitor->Start(visitor, entryPath, target, arguments, flags);
    } while (OsFindNextFile(search, &entry));
    OsFindClose(search);
}

/* --- AutoCopy and AutoRun: the launcher's visitor acts --- */

static void MakeDirectory(FolderVisitor* visitor, const WChar* source, const WChar* destination)
{
    (void)visitor;
    (void)source;
    /* An existing directory, or one that cannot be made, is no reason to stop. */
    OsCreateDirectory(destination, 0);
}

static void CopyOneFile(FolderVisitor* visitor, const WChar* source, const WChar* destination)
{
    (void)visitor;
    OsCopyFile(source, destination, OS_FALSE);
}

static void StartProgram(FolderVisitor* visitor, const WChar* entry, const WChar* program, const WChar* arguments,
                         u32 shortcutFlags)
{
    (void)visitor;
    (void)entry;
    (void)shortcutFlags;
    LaunchProgram(program, arguments);
}

static void SkipSilently(FolderVisitor* visitor, u32 reason, const WChar* where, const WChar* name)
{
    (void)visitor;
    (void)reason;
    (void)where;
    (void)name;
}

static void LauncherVisitor(FolderVisitor* visitor)
{
    visitor->Context = 0;
    visitor->Directory = MakeDirectory;
    visitor->File = CopyOneFile;
    visitor->Start = StartProgram;
    visitor->Skip = SkipSilently;
}

void RunAutoCopy(const WChar* folder)
{
    FolderVisitor visitor;

    LauncherVisitor(&visitor);
    WalkAutoCopy(folder, &visitor);
}

void CopyTree(const WChar* source, u32 prefixLength)
{
    FolderVisitor visitor;

    LauncherVisitor(&visitor);
    WalkCopyTree(source, prefixLength, &visitor);
}

void RunAutoRun(const WChar* folder, u32 kind)
{
    FolderVisitor visitor;

    LauncherVisitor(&visitor);
    WalkAutoRun(folder, kind, &visitor);
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
