/*
 * The tester hand-off: at start-up, when the boot configuration asks for it, the bundle of files in
 * the flash's raw region is written to the file system, the region is erased so that the bundle is
 * served only once, and the bundle's program is started.
 */
#include "tester/tester.h"

#include "flash/flash_ops.h"

#define TESTER_HEADER_BYTES 40u

/* --- boot configuration --- */

u32 QueryBootConfig(u32 itemId, void* destination, u32 destinationBytes)
{
    BootConfigRequest request;
    u32 delivered = 0;

    request.ItemId = itemId;
    request.Destination = (u32)(uptr)destination;
    request.DestinationBytes = destinationBytes;
    OsKernelIoControl(BOOT_CONFIG_IOCTL, &request, sizeof(request), destination, destinationBytes,
                      &delivered);
    return delivered;
}

/* --- hand-off --- */

/* The name field must end within its 32 bytes, or the conversion would run past the header. */
static i32 NameIsTerminated(const TesterRecordHeader* header)
{
    u32 i;
    for (i = 0; i < TESTER_NAME_BYTES; i++) {
        if (header->Name[i] == 0) return 1;
    }
    return 0;
}

/* The payload must lie inside the flash: its padded size must not wrap, and it must end within
   the usable size. */
static i32 PayloadFitsFlash(u32 position, u32 paddedSize, u32 payloadSize)
{
    u32 start;
    if (paddedSize < payloadSize) return 0;
    if (position > FlashOps.UsableSize || FlashOps.UsableSize - position < TESTER_HEADER_BYTES) return 0;
    start = position + TESTER_HEADER_BYTES;
    return paddedSize <= FlashOps.UsableSize - start;
}

/* Closes the record's file and releases its payload buffer, whichever of the two is held. */
static void ReleaseRecord(OsHandle* file, u32** payload)
{
    if (*file != OS_INVALID_HANDLE) OsCloseHandle(*file);
    *file = OS_INVALID_HANDLE;
    if (*payload != 0) OsLocalFree(*payload);
    *payload = 0;
}

void RunTesterHandOff(void)
{
    TesterRecordHeader header;
    WChar name[TESTER_NAME_BYTES];
    WChar launchName[TESTER_NAME_BYTES];
    u32 testerFlag = 0;
    u32 written = 0;
    u32 position;
    u32 payloadSize;
    u32 paddedSize;
    u32 length;
    u32 i;
    /* What a record holds while it is written out; released on every way out. */
    OsHandle file = OS_INVALID_HANDLE;
    u32* payload = 0;
    OsProcessInformation process;

    for (i = 0; i < TESTER_NAME_BYTES; i++) launchName[i] = 0;

    if (QueryBootConfig(BOOT_ITEM_TESTER, &testerFlag, sizeof(testerFlag)) == 0 ||
        (testerFlag & BOOT_TESTER_FLAG) == 0) {
        goto done;
    }

    OsDebugOut(WSTR("Looking for KalvoriTester...\r\n"));

    /* Without the library, Read fails and the header read below reports it. */
    if (FlashInit() == FLASH_FAILED) OsDebugOut(WSTR("Cannot Initialize Flash Library\r\n"));

    position = TESTER_REGION_OFFSET;
    if (FlashOps.Read == 0 || !FlashOps.Read((u32*)&header, position, TESTER_HEADER_BYTES)) {
        OsDebugOut(WSTR("ERROR Reading Header from Flash\r\n"));
        goto done;
    }

    while (header.Magic == TESTER_RECORD_MAGIC) {
        payloadSize = header.PayloadSize;
        paddedSize = (payloadSize + 3) & ~3u;

        if (!NameIsTerminated(&header)) {
            OsDebugOut(WSTR("ERROR Reading Header from Flash\r\n"));
            goto done;
        }
        OsFormat(name, TESTER_NAME_BYTES, WSTR("%S"), header.Name);

        length = OsStrLen(name);
        if (length >= 4 && OsStrICmp(name + length - 4, WSTR(".exe")) == 0) OsStrCopy(launchName, name);

        OsDebugPrintf(WSTR("Found %s\r\n"), name);

        file = OsCreateFile(name, OS_GENERIC_WRITE, 0, 0, OS_CREATE_ALWAYS, 0, 0);
        if (file == OS_INVALID_HANDLE) {
            OsDebugPrintf(WSTR("ERROR Creating %s File\r\n"), name);
            goto done;
        }

        /* A size whose padding wraps, or a payload beyond the flash, is never read into an
           undersized buffer. */
        if (PayloadFitsFlash(position, paddedSize, payloadSize)) {
            payload = (u32*)OsLocalAlloc(OS_LMEM_FIXED, paddedSize);
        }
        if (payload == 0 || !FlashOps.Read(payload, position + TESTER_HEADER_BYTES, paddedSize)) {
            OsDebugOut(WSTR("ERROR Reading Data from Flash\r\n"));
            goto done;
        }

        if (!OsWriteFile(file, payload, payloadSize, &written, 0)) {
            OsDebugOut(WSTR("ERROR Writing to File\r\n"));
            goto done;
        }
        ReleaseRecord(&file, &payload);

        position += TESTER_HEADER_BYTES + paddedSize;
        if (!FlashOps.Read((u32*)&header, position, TESTER_HEADER_BYTES)) {
            OsDebugOut(WSTR("ERROR Reading Header from Flash\r\n"));
            goto done;
        }
    }

    if (launchName[0] == 0) {
        OsDebugOut(WSTR("ERROR No Exe found to Launch!\r\n"));
        goto done;
    }

    /* Erased before the program starts, so that the bundle is served only once. The first magic is
       cleared first (programming bits to 0 needs no erase): an erase that the power cuts short then
       leaves no bundle to start from, only a region the next start reports as empty or unreadable. */
    if (FlashOps.WriteWord != 0) FlashOps.WriteWord(TESTER_REGION_OFFSET, 0);
    if (!FlashOps.Erase(TESTER_REGION_OFFSET, TESTER_REGION_LENGTH)) {
        OsDebugOut(WSTR("ERROR Erasing Flash\r\n"));
        goto done;
    }

    OsDebugPrintf(WSTR("Launching %s\r\n"), launchName);

    if (!OsCreateProcess(launchName, 0, 0, 0, OS_FALSE, 0, 0, 0, 0, &process)) {
        OsDebugOut(WSTR("ERROR Creating Process\r\n"));
        goto done;
    }
    /* The tester is not waited for; its handles are not needed. */
    OsCloseHandle(process.Thread);
    OsCloseHandle(process.Process);

done:
    ReleaseRecord(&file, &payload);
}
