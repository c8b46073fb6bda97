/*
 * Compile-time checks of what crosses between the device code and the operating system on the
 * module. This file holds no code: a failed check stops the module build (and device_check, which
 * compiles it with the module's 32-bit pointers and 16-bit wide characters).
 *
 * The offsets below hold for the 32-bit module only; this file is never part of the host build.
 */
#include <stddef.h>

#include "flash/flash_ops.h"
#include "launcher/launcher.h"
#include "platform/platform.h"
#include "platform/wince/ce_services.h"
#include "tester/tester.h"

OS_COMPILE_CHECK(CeCheckPointer, sizeof(void*) == 4);
OS_COMPILE_CHECK(CeCheckWChar, sizeof(WChar) == sizeof(WCHAR));

/* --- records the device code hands to the operating system -------------------------------------- */

/* The boot-configuration query's input record: item, destination address, destination size. */
OS_COMPILE_CHECK(CeCheckBootConfigRequestSize, sizeof(BootConfigRequest) == 12);
OS_COMPILE_CHECK(CeCheckBootConfigItem, offsetof(BootConfigRequest, ItemId) == 0);
OS_COMPILE_CHECK(CeCheckBootConfigDestination, offsetof(BootConfigRequest, Destination) == 4);
OS_COMPILE_CHECK(CeCheckBootConfigBytes, offsetof(BootConfigRequest, DestinationBytes) == 8);

/* A record header of the tester bundle as it lies in flash. */
OS_COMPILE_CHECK(CeCheckTesterHeaderSize, sizeof(TesterRecordHeader) == 40);
OS_COMPILE_CHECK(CeCheckTesterMagic, offsetof(TesterRecordHeader, Magic) == 0);
OS_COMPILE_CHECK(CeCheckTesterName, offsetof(TesterRecordHeader, Name) == 4);
OS_COMPILE_CHECK(CeCheckTesterPayloadSize, offsetof(TesterRecordHeader, PayloadSize) == 36);

/* One mount notification as the queue delivers it. */
OS_COMPILE_CHECK(CeCheckMountSize, sizeof(MountMessage) == 96);
OS_COMPILE_CHECK(CeCheckMountClass, offsetof(MountMessage, DeviceClass) == 0);
OS_COMPILE_CHECK(CeCheckMountReserved, offsetof(MountMessage, Reserved) == 16);
OS_COMPILE_CHECK(CeCheckMountAttached, offsetof(MountMessage, Attached) == 20);
OS_COMPILE_CHECK(CeCheckMountNameBytes, offsetof(MountMessage, NameBytes) == 24);
OS_COMPILE_CHECK(CeCheckMountName, offsetof(MountMessage, Name) == 28);

/* ... and it is the operating system's device-notification record. */
OS_COMPILE_CHECK(CeCheckDevDetailClass, offsetof(DEVDETAIL, guidDevClass) == offsetof(MountMessage, DeviceClass));
OS_COMPILE_CHECK(CeCheckDevDetailReserved, offsetof(DEVDETAIL, dwReserved) == offsetof(MountMessage, Reserved));
OS_COMPILE_CHECK(CeCheckDevDetailAttached, offsetof(DEVDETAIL, fAttached) == offsetof(MountMessage, Attached));
OS_COMPILE_CHECK(CeCheckDevDetailNameBytes, offsetof(DEVDETAIL, cbName) == offsetof(MountMessage, NameBytes));
OS_COMPILE_CHECK(CeCheckDevDetailName, offsetof(DEVDETAIL, szName) == offsetof(MountMessage, Name));

/* The queue options, field for field the operating system's. */
OS_COMPILE_CHECK(CeCheckQueueOptionsSize, sizeof(OsMsgQueueOptions) == 20);
OS_COMPILE_CHECK(CeCheckQueueOptionsOs, sizeof(OsMsgQueueOptions) == sizeof(MSGQUEUEOPTIONS));
OS_COMPILE_CHECK(CeCheckQueueSize, offsetof(OsMsgQueueOptions, Size) == 0 && offsetof(MSGQUEUEOPTIONS, dwSize) == 0);
OS_COMPILE_CHECK(CeCheckQueueFlags, offsetof(OsMsgQueueOptions, Flags) == 4 && offsetof(MSGQUEUEOPTIONS, dwFlags) == 4);
OS_COMPILE_CHECK(CeCheckQueueMaxMessages,
                 offsetof(OsMsgQueueOptions, MaxMessages) == 8 && offsetof(MSGQUEUEOPTIONS, dwMaxMessages) == 8);
OS_COMPILE_CHECK(CeCheckQueueMaxMessage,
                 offsetof(OsMsgQueueOptions, MaxMessage) == 12 && offsetof(MSGQUEUEOPTIONS, cbMaxMessage) == 12);
OS_COMPILE_CHECK(CeCheckQueueReadAccess,
                 offsetof(OsMsgQueueOptions, ReadAccess) == 16 && offsetof(MSGQUEUEOPTIONS, bReadAccess) == 16);

/* The class identifier of a notification request. */
OS_COMPILE_CHECK(CeCheckGuidSize, sizeof(OsGuid) == sizeof(GUID));
OS_COMPILE_CHECK(CeCheckGuidData1, offsetof(OsGuid, Data1) == offsetof(GUID, Data1));
OS_COMPILE_CHECK(CeCheckGuidData2, offsetof(OsGuid, Data2) == offsetof(GUID, Data2));
OS_COMPILE_CHECK(CeCheckGuidData3, offsetof(OsGuid, Data3) == offsetof(GUID, Data3));
OS_COMPILE_CHECK(CeCheckGuidData4, offsetof(OsGuid, Data4) == offsetof(GUID, Data4));

/* What process creation reports. */
OS_COMPILE_CHECK(CeCheckProcessInfoSize, sizeof(OsProcessInformation) == sizeof(PROCESS_INFORMATION));
OS_COMPILE_CHECK(CeCheckProcessInfoProcess,
                 offsetof(OsProcessInformation, Process) == offsetof(PROCESS_INFORMATION, hProcess));
OS_COMPILE_CHECK(CeCheckProcessInfoThread,
                 offsetof(OsProcessInformation, Thread) == offsetof(PROCESS_INFORMATION, hThread));
OS_COMPILE_CHECK(CeCheckProcessInfoProcessId,
                 offsetof(OsProcessInformation, ProcessId) == offsetof(PROCESS_INFORMATION, dwProcessId));
OS_COMPILE_CHECK(CeCheckProcessInfoThreadId,
                 offsetof(OsProcessInformation, ThreadId) == offsetof(PROCESS_INFORMATION, dwThreadId));

/* A directory entry's name fits the platform's entry without being cut. */
OS_COMPILE_CHECK(CeCheckFindName, sizeof(((WIN32_FIND_DATAW*)0)->cFileName) == sizeof(((OsFindData*)0)->FileName));

/* The flash library's table: twelve one-word slots. */
OS_COMPILE_CHECK(CeCheckFlashOpsSize, sizeof(FlashOpsTable) == 48);
OS_COMPILE_CHECK(CeCheckFlashReadWord, offsetof(FlashOpsTable, ReadWord) == 0);
OS_COMPILE_CHECK(CeCheckFlashGetPageSize, offsetof(FlashOpsTable, GetPageSize) == 4);
OS_COMPILE_CHECK(CeCheckFlashUsableSize, offsetof(FlashOpsTable, UsableSize) == 8);
OS_COMPILE_CHECK(CeCheckFlashGetBlockSize, offsetof(FlashOpsTable, GetBlockSize) == 12);
OS_COMPILE_CHECK(CeCheckFlashRead, offsetof(FlashOpsTable, Read) == 16);
OS_COMPILE_CHECK(CeCheckFlashWriteWord, offsetof(FlashOpsTable, WriteWord) == 20);
OS_COMPILE_CHECK(CeCheckFlashWrite, offsetof(FlashOpsTable, Write) == 24);
OS_COMPILE_CHECK(CeCheckFlashProgress, offsetof(FlashOpsTable, Progress) == 28);
OS_COMPILE_CHECK(CeCheckFlashFlashType, offsetof(FlashOpsTable, FlashType) == 32);
OS_COMPILE_CHECK(CeCheckFlashErase, offsetof(FlashOpsTable, Erase) == 36);
OS_COMPILE_CHECK(CeCheckFlashProgressStep, offsetof(FlashOpsTable, ProgressStep) == 40);
OS_COMPILE_CHECK(CeCheckFlashDeviceClass, offsetof(FlashOpsTable, DeviceClass) == 44);

/* --- the platform's values are the operating system's ------------------------------------------ */

/* Compared as 32-bit values: the headers spell some as long, some as unsigned. */
#define CE_SAME(name, platform, os) OS_COMPILE_CHECK(name, (u32)(platform) == (u32)(os))

CE_SAME(CeSameErrorSuccess, OS_ERROR_SUCCESS, ERROR_SUCCESS);
CE_SAME(CeSameErrorFileNotFound, OS_ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
CE_SAME(CeSameErrorPathNotFound, OS_ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND);
CE_SAME(CeSameErrorAccessDenied, OS_ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
CE_SAME(CeSameErrorInvalidHandle, OS_ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
CE_SAME(CeSameErrorNotEnoughMemory, OS_ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY);
CE_SAME(CeSameErrorNoMoreFiles, OS_ERROR_NO_MORE_FILES, ERROR_NO_MORE_FILES);
CE_SAME(CeSameErrorWriteFault, OS_ERROR_WRITE_FAULT, ERROR_WRITE_FAULT);
CE_SAME(CeSameErrorReadFault, OS_ERROR_READ_FAULT, ERROR_READ_FAULT);
CE_SAME(CeSameErrorGenFailure, OS_ERROR_GEN_FAILURE, ERROR_GEN_FAILURE);
CE_SAME(CeSameErrorSharingViolation, OS_ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION);
CE_SAME(CeSameErrorNotSupported, OS_ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED);
CE_SAME(CeSameErrorFileExists, OS_ERROR_FILE_EXISTS, ERROR_FILE_EXISTS);
CE_SAME(CeSameErrorInvalidParameter, OS_ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
CE_SAME(CeSameErrorDiskFull, OS_ERROR_DISK_FULL, ERROR_DISK_FULL);
CE_SAME(CeSameErrorInsufficientBuffer, OS_ERROR_INSUFFICIENT_BUFFER, ERROR_INSUFFICIENT_BUFFER);
CE_SAME(CeSameErrorInvalidName, OS_ERROR_INVALID_NAME, ERROR_INVALID_NAME);
CE_SAME(CeSameErrorBadArguments, OS_ERROR_BAD_ARGUMENTS, ERROR_BAD_ARGUMENTS);
CE_SAME(CeSameErrorAlreadyExists, OS_ERROR_ALREADY_EXISTS, ERROR_ALREADY_EXISTS);
CE_SAME(CeSameErrorMoreData, OS_ERROR_MORE_DATA, ERROR_MORE_DATA);
CE_SAME(CeSameErrorDirectory, OS_ERROR_DIRECTORY, ERROR_DIRECTORY);
CE_SAME(CeSameErrorNoNetwork, OS_ERROR_NO_NETWORK, ERROR_NO_NETWORK);
CE_SAME(CeSameErrorTimeout, OS_ERROR_TIMEOUT, ERROR_TIMEOUT);

CE_SAME(CeSameGenericRead, OS_GENERIC_READ, GENERIC_READ);
CE_SAME(CeSameGenericWrite, OS_GENERIC_WRITE, GENERIC_WRITE);
CE_SAME(CeSameShareRead, OS_FILE_SHARE_READ, FILE_SHARE_READ);
CE_SAME(CeSameShareWrite, OS_FILE_SHARE_WRITE, FILE_SHARE_WRITE);
CE_SAME(CeSameCreateNew, OS_CREATE_NEW, CREATE_NEW);
CE_SAME(CeSameCreateAlways, OS_CREATE_ALWAYS, CREATE_ALWAYS);
CE_SAME(CeSameOpenExisting, OS_OPEN_EXISTING, OPEN_EXISTING);
CE_SAME(CeSameOpenAlways, OS_OPEN_ALWAYS, OPEN_ALWAYS);
CE_SAME(CeSameTruncateExisting, OS_TRUNCATE_EXISTING, TRUNCATE_EXISTING);
CE_SAME(CeSameAttributeReadOnly, OS_FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
CE_SAME(CeSameAttributeHidden, OS_FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN);
CE_SAME(CeSameAttributeDirectory, OS_FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
CE_SAME(CeSameAttributeArchive, OS_FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE);
CE_SAME(CeSameAttributeTemporary, OS_FILE_ATTRIBUTE_TEMPORARY, FILE_ATTRIBUTE_TEMPORARY);
CE_SAME(CeSameAttributeNormal, OS_FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NORMAL);
CE_SAME(CeSameInvalidAttributes, OS_INVALID_FILE_ATTRIBUTES, 0xFFFFFFFF); /* GetFileAttributesW's failure */
CE_SAME(CeSameMaxPath, OS_MAX_PATH, MAX_PATH);

CE_SAME(CeSameRegSz, OS_REG_SZ, REG_SZ);
CE_SAME(CeSameRegBinary, OS_REG_BINARY, REG_BINARY);
CE_SAME(CeSameRegDword, OS_REG_DWORD, REG_DWORD);

CE_SAME(CeSameInfinite, OS_INFINITE, INFINITE);
CE_SAME(CeSameWaitObject0, OS_WAIT_OBJECT_0, WAIT_OBJECT_0);
CE_SAME(CeSameWaitTimeout, OS_WAIT_TIMEOUT, WAIT_TIMEOUT);
CE_SAME(CeSameWaitFailed, OS_WAIT_FAILED, WAIT_FAILED);

CE_SAME(CeSameVkShift, OS_VK_SHIFT, VK_SHIFT);

CE_SAME(CeSameMemReserve, OS_MEM_RESERVE, MEM_RESERVE);
CE_SAME(CeSameMemRelease, OS_MEM_RELEASE, MEM_RELEASE);
CE_SAME(CeSamePageNoAccess, OS_PAGE_NOACCESS, PAGE_NOACCESS);
CE_SAME(CeSamePageReadWrite, OS_PAGE_READWRITE, PAGE_READWRITE);
CE_SAME(CeSamePageNoCache, OS_PAGE_NOCACHE, PAGE_NOCACHE);
CE_SAME(CeSamePagePhysical, OS_PAGE_PHYSICAL, PAGE_PHYSICAL);
CE_SAME(CeSameLocalFixed, OS_LMEM_FIXED, LMEM_FIXED);
CE_SAME(CeSameFileMapAllAccess, OS_FILE_MAP_ALL_ACCESS, FILE_MAP_ALL_ACCESS);
