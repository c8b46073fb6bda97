/*
 * The module's platform layer, part one: files, directories, enumeration, processes and the
 * registry, each on the Windows CE core service of the same name.
 *
 * The platform's values (OS_*) equal the operating system's (layout_checks.cpp holds the build to
 * that), so flags and codes pass straight through. Counts are copied through DWORD variables rather
 * than by casting a u32 pointer, because DWORD is a distinct type.
 */
#include "platform/platform.h"
#include "platform/wince/ce_services.h"

/* --- files and directories --------------------------------------------------------------------- */

OsHandle OsCreateFile(const WChar* name, u32 access, u32 shareMode, void* security, u32 disposition,
                      u32 flagsAndAttributes, OsHandle templateFile)
{
    return CreateFileW(name, access, shareMode, (LPSECURITY_ATTRIBUTES)security, disposition,
                       flagsAndAttributes, templateFile);
}

OsBool OsReadFile(OsHandle file, void* buffer, u32 bytesToRead, u32* bytesRead, void* overlapped)
{
    DWORD done = 0;
    BOOL ok = ReadFile(file, buffer, bytesToRead, &done, (LPOVERLAPPED)overlapped);
    if (bytesRead) *bytesRead = done;
    return ok;
}

OsBool OsWriteFile(OsHandle file, const void* buffer, u32 bytesToWrite, u32* bytesWritten,
                   void* overlapped)
{
    DWORD done = 0;
    BOOL ok = WriteFile(file, buffer, bytesToWrite, &done, (LPOVERLAPPED)overlapped);
    if (bytesWritten) *bytesWritten = done;
    return ok;
}

OsBool OsCloseHandle(OsHandle handle)
{
    return CloseHandle(handle);
}

OsBool OsDeleteFile(const WChar* name)
{
    return DeleteFileW(name);
}

u32 OsGetFileAttributes(const WChar* name)
{
    return GetFileAttributesW(name);
}

OsBool OsCreateDirectory(const WChar* name, void* security)
{
    return CreateDirectoryW(name, (LPSECURITY_ATTRIBUTES)security);
}

OsBool OsCopyFile(const WChar* existingName, const WChar* newName, OsBool failIfExists)
{
    return CopyFileW(existingName, newName, failIfExists);
}

/* --- enumeration ------------------------------------------------------------------------------- */

/* The module's file systems yield no "." or ".." entries, but a redirector may: they are skipped,
   because the platform promises enumerations without them. */
static OsBool IsDotEntry(const WCHAR* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

static void ToFindData(const WIN32_FIND_DATAW* entry, OsFindData* found)
{
    found->FileAttributes = entry->dwFileAttributes;
    /* only a file of 4 GiB or more has a high word; it reads as the largest size */
    found->FileSize = entry->nFileSizeHigh ? 0xFFFFFFFFu : entry->nFileSizeLow;
    u32 i = 0;
    for (; i + 1 < OS_MAX_PATH && entry->cFileName[i]; i++) found->FileName[i] = entry->cFileName[i];
    found->FileName[i] = 0;
}

OsHandle OsFindFirstFile(const WChar* pattern, OsFindData* found)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return OS_INVALID_HANDLE;
    while (IsDotEntry(entry.cFileName)) {
        if (!FindNextFileW(search, &entry)) {
            FindClose(search);
            SetLastError(ERROR_FILE_NOT_FOUND); /* as when nothing matches at all */
            return OS_INVALID_HANDLE;
        }
    }
    ToFindData(&entry, found);
    return search;
}

OsBool OsFindNextFile(OsHandle search, OsFindData* found)
{
    WIN32_FIND_DATAW entry;
    do {
        if (!FindNextFileW(search, &entry)) return OS_FALSE;
    } while (IsDotEntry(entry.cFileName));
    ToFindData(&entry, found);
    return OS_TRUE;
}

OsBool OsFindClose(OsHandle search)
{
    return FindClose(search);
}

/* --- processes --------------------------------------------------------------------------------- */

OsBool OsCreateProcess(const WChar* imageName, const WChar* commandLine, void* processSecurity,
                       void* threadSecurity, OsBool inheritHandles, u32 creationFlags,
                       void* environment, const WChar* currentDirectory, void* startupInfo,
                       OsProcessInformation* processInformation)
{
    PROCESS_INFORMATION started;
    /* The module's CreateProcessW only reads the command line and the directory; the desktop
       declaration of the check build wants them writable, hence the casts. */
    BOOL ok = CreateProcessW(imageName, (LPWSTR)commandLine, (LPSECURITY_ATTRIBUTES)processSecurity,
                             (LPSECURITY_ATTRIBUTES)threadSecurity, inheritHandles, creationFlags,
                             environment, (LPWSTR)currentDirectory, (LPSTARTUPINFOW)startupInfo, &started);
    if (!ok) return OS_FALSE;
    if (processInformation) {
        processInformation->Process = started.hProcess;
        processInformation->Thread = started.hThread;
        processInformation->ProcessId = started.dwProcessId;
        processInformation->ThreadId = started.dwThreadId;
    } else {
        /* nobody can close them later */
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
    return OS_TRUE;
}

/* --- registry ---------------------------------------------------------------------------------- */

static HKEY CeKey(OsHKey key)
{
    return key == OS_HKEY_LOCAL_MACHINE ? HKEY_LOCAL_MACHINE : (HKEY)key;
}

i32 OsRegCreateKeyEx(OsHKey root, const WChar* subKey, u32 reserved, WChar* keyClass, u32 options,
                     u32 desiredAccess, void* security, OsHKey* result, u32* disposition)
{
    HKEY key = 0;
    DWORD how = 0;
    LONG status = RegCreateKeyExW(CeKey(root), subKey, reserved, keyClass, options, desiredAccess,
                                  (LPSECURITY_ATTRIBUTES)security, &key, &how);
    if (status != ERROR_SUCCESS) return (i32)status;
    if (result) {
        *result = key;
    } else {
        RegCloseKey(key); /* nobody can close it later */
    }
    if (disposition) *disposition = how;
    return (i32)status;
}

i32 OsRegQueryValueEx(OsHKey key, const WChar* valueName, u32* reserved, u32* type, u8* data,
                      u32* dataBytes)
{
    DWORD kind = type ? *type : 0;
    DWORD bytes = dataBytes ? *dataBytes : 0;
    /* reserved must be null; the service itself rejects anything else */
    LONG status = RegQueryValueExW(CeKey(key), valueName, (LPDWORD)reserved, type ? &kind : 0, data,
                                   dataBytes ? &bytes : 0);
    if (type) *type = kind;
    if (dataBytes) *dataBytes = bytes;
    return (i32)status;
}

i32 OsRegCloseKey(OsHKey key)
{
    return (i32)RegCloseKey(CeKey(key));
}
