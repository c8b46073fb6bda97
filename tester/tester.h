/* The tester hand-off: the one-shot tester bundle in the boot flash's raw region. */
#ifndef KALVORI_TESTER_TESTER_H
#define KALVORI_TESTER_TESTER_H

#include "platform/platform.h"

/* The bundle's region of the flash. */
#define TESTER_REGION_OFFSET 0x13C0000u
#define TESTER_REGION_LENGTH 0x40000u

/* One record header of the bundle, followed at once by its payload (padded to 4 bytes). */
#define TESTER_RECORD_MAGIC 0x54534554u /* the bytes "TEST" */
#define TESTER_NAME_BYTES 32

typedef struct TesterRecordHeader {
    u32 Magic;
    char Name[TESTER_NAME_BYTES]; /* narrow, zero-terminated, at most 31 characters */
    u32 PayloadSize;
} TesterRecordHeader;

OS_COMPILE_CHECK(TesterCheckHeader, sizeof(TesterRecordHeader) == 40);

/* The input record of the boot-configuration query. */
typedef struct BootConfigRequest {
    u32 ItemId;
    u32 Destination; /* the destination buffer's address */
    u32 DestinationBytes;
} BootConfigRequest;

OS_COMPILE_CHECK(TesterCheckBootConfigRequest, sizeof(BootConfigRequest) == 12);

#define BOOT_CONFIG_IOCTL 0x01012028u
#define BOOT_ITEM_TESTER 12u
#define BOOT_TESTER_FLAG 0x00800000u /* bit 23 of item 12 */

u32 QueryBootConfig(u32 itemId, void* destination, u32 destinationBytes);
void RunTesterHandOff(void);

#endif /* KALVORI_TESTER_TESTER_H */
