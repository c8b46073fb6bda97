/*
 * The board program's platform layer on QEMU's "virt" ARM board (see board_platform.h).
 */
#include "tests/arm_board/program/board_platform.h"

#include "platform/format.h"

/* --- the board's hardware --- */

#define BOARD_RAM_BASE 0x40000000u
#define BOARD_RAM_BYTES 0x8000000u /* 128 MiB, as the test starts QEMU */
#define BOARD_UART_BASE 0x09000000u
#define BOARD_UART_DATA 0x00u
#define BOARD_UART_FLAGS 0x18u
#define BOARD_UART_TX_FULL 0x20u
#define BOARD_FLASH_BANK1 0x04000000u /* the second flash bank; the first holds firmware */
#define BOARD_FLASH_BANK_BYTES 0x4000000u

/* The module's physical addresses this board has something at. */
#define MODULE_FLASH_PHYSICAL 0x00000000u
#define MODULE_GPIO_PAGE 0x40E00000u
#define MODULE_PIN_MUX_PAGE 0x40E10000u

/* The core reports its own part in the main ID register; the platform presents the NOR module's
   processor in the product field (bits 9..4), the one thing the device code reads there. */
#define MODULE_NOR_PRODUCT 17u
#define MAIN_ID_PRODUCT_SHIFT 4
#define MAIN_ID_PRODUCT_MASK 0x3F0u

/* --- translation tables (short descriptors) --- */

#define PAGE_BYTES 0x1000u
#define SECTION_BYTES 0x100000u
#define SECTION_SHIFT 20
#define PAGE_SHIFT 12
#define L1_ENTRIES 4096u
#define L2_ENTRIES 256u
#define L2_TABLES 96u
#define L1_SECTION 0x2u
#define L1_COARSE 0x1u
#define L1_AP_FULL 0xC00u
#define L1_NORMAL_UNCACHED 0x1000u /* TEX 001, C 0, B 0 */
#define L1_DEVICE 0x4u             /* TEX 000, C 0, B 1: shareable device */
#define L1_EXECUTE_NEVER 0x10u
#define L2_SMALL_PAGE 0x2u
#define L2_EXECUTE_NEVER 0x1u
#define L2_DEVICE 0x4u
#define L2_AP_FULL 0x30u
#define L2_TABLE_MASK 0xFFFFFC00u
#define SCTLR_MMU 0x1u
#define SCTLR_ALIGNMENT_CHECK 0x2u
#define DACR_ALL_CLIENT 0x55555555u

/* Windows are made from here up, each reservation in sections of its own. */
#define WINDOW_SPACE_BASE 0x80000000u
#define WINDOW_SPACE_END 0xC0000000u
#define RESERVATIONS 32u

/* --- the run's end: semihosting --- */

#define SEMIHOSTING_EXIT 0x18u
#define SEMIHOSTING_APPLICATION_EXIT 0x20026u
#define SEMIHOSTING_RUNTIME_ERROR 0x20023u

/* --- what the services keep --- */

#define ARENA_BYTES 0x40000u
#define ARENA_ALIGN 8u
#define FILES 8u
#define FILE_BYTES 8192u
#define NAME_CHARS 64u
#define HANDLES 16u
#define STARTED 4u
#define MAPPINGS 2u
#define DEBUG_TEXT_BYTES 8192u
#define FORMAT_CHARS 1024u

#define BOOT_CONFIG_IOCTL 0x01012028u
#define BOOT_ITEM_TESTER 12u

static u32 BoardTranslationTable[L1_ENTRIES]
    __attribute__((aligned(16384), section(".bss.BoardTranslationTable")));
static u32 BoardPageTables[L2_TABLES][L2_ENTRIES] __attribute__((aligned(1024)));
static u32 BoardPageTablesUsed = 0;

typedef struct Reservation {
    u32 Base;
    u32 Bytes;
    i32 Live;
} Reservation;

static Reservation Reservations[RESERVATIONS];
static u32 ReservationCount = 0;
static u32 NextWindowSpace = WINDOW_SPACE_BASE;

static u32 GpioStandIn[PAGE_BYTES / 4] __attribute__((aligned(4096)));
static u32 PinMuxStandIn[PAGE_BYTES / 4] __attribute__((aligned(4096)));

static u32 LastError = 0;

/* --- processor --- */

extern "C" u32 CeReadMainIdRegister(void); /* platform/wince/cpu_main_id.S, the module's own */

static void BarrierAndFlushTlb(void)
{
    u32 zero = 0;
    __asm__ __volatile__(
        "mcr p15, 0, %0, c7, c10, 4\n\t" /* data synchronisation barrier */
        "mcr p15, 0, %0, c8, c7, 0\n\t"  /* invalidate the whole TLB */
        "mcr p15, 0, %0, c7, c5, 4"      /* instruction barrier */
        :
        : "r"(zero)
        : "memory");
}

u32 BoardCoreMainId(void)
{
    return CeReadMainIdRegister();
}

u32 OsReadCpuMainId(void)
{
    return (CeReadMainIdRegister() & ~MAIN_ID_PRODUCT_MASK) | (MODULE_NOR_PRODUCT << MAIN_ID_PRODUCT_SHIFT);
}

/* --- serial port and debug output --- */

static char DebugText[DEBUG_TEXT_BYTES];
static u32 DebugTextLength = 0;

static void UartPut(char c)
{
    volatile u32* uart = (volatile u32*)BOARD_UART_BASE;
    while (uart[BOARD_UART_FLAGS / 4] & BOARD_UART_TX_FULL) {
    }
    uart[BOARD_UART_DATA / 4] = (u32)(u8)c;
}

void OsDebugOut(const WChar* text)
{
    if (text == 0) return;
    for (; *text; text++) {
        char c = *text < 0x80 ? (char)*text : '?';
        UartPut(c);
        if (DebugTextLength + 1 < DEBUG_TEXT_BYTES) DebugText[DebugTextLength++] = c;
    }
    DebugText[DebugTextLength] = 0;
}

const char* BoardDebugText(void)
{
    return DebugText;
}

void BoardClearDebugText(void)
{
    DebugTextLength = 0;
    DebugText[0] = 0;
}

/* The board's narrow code page is Latin-1: each byte is the code point of the same number. */
static u32 BoardWiden(const char* text, WChar* out)
{
    *out = (WChar)(u8)*text;
    return 1;
}

i32 OsFormat(WChar* buffer, u32 capacity, const WChar* format, ...)
{
    va_list args;
    i32 written;
    va_start(args, format);
    written = PlatformFormatV(buffer, capacity, format, args, BoardWiden);
    va_end(args);
    return written;
}

void OsDebugPrintf(const WChar* format, ...)
{
    WChar line[FORMAT_CHARS];
    va_list args;
    va_start(args, format);
    PlatformFormatV(line, FORMAT_CHARS, format, args, BoardWiden);
    va_end(args);
    OsDebugOut(line);
}

/* --- the run's end and faults --- */

static void Semihosting(u32 operation, u32 argument)
{
    register u32 r0 __asm__("r0") = operation;
    register u32 r1 __asm__("r1") = argument;
    __asm__ __volatile__("svc 0x123456" : "+r"(r0) : "r"(r1) : "memory");
}

void BoardExit(i32 passed)
{
    Semihosting(SEMIHOSTING_EXIT, passed ? SEMIHOSTING_APPLICATION_EXIT : SEMIHOSTING_RUNTIME_ERROR);
    for (;;) {
    }
}

/* Called by the exception vectors of start.S with the kind of exception and its return address. */
extern "C" void BoardFault(u32 kind, u32 returnAddress)
{
    static const char* const kinds[] = {
        "reset",     "undefined instruction", "supervisor call", "prefetch abort", "data abort", "reserved",
        "interrupt", "fast interrupt"};
    u32 faultStatus;
    u32 faultAddress;
    if (kind == 3) {
        __asm__ __volatile__("mrc p15, 0, %0, c5, c0, 1" : "=r"(faultStatus));
        __asm__ __volatile__("mrc p15, 0, %0, c6, c0, 2" : "=r"(faultAddress));
    } else {
        __asm__ __volatile__("mrc p15, 0, %0, c5, c0, 0" : "=r"(faultStatus));
        __asm__ __volatile__("mrc p15, 0, %0, c6, c0, 0" : "=r"(faultAddress));
    }
    /* A data abort returns 8 bytes past the access, the others 4 past the instruction. */
    OsDebugPrintf(WSTR("board: %S at pc 0x%x: address 0x%x, fault status 0x%x\r\n"), kinds[kind & 7u],
                  returnAddress - (kind == 4 ? 8u : 4u), faultAddress, faultStatus);
    BoardExit(0);
}

/* --- memory map --- */

void BoardStartPlatform(void)
{
    u32 section;
    u32 control;

    for (section = 0; section < L1_ENTRIES; section++) BoardTranslationTable[section] = 0;
    for (section = 0; section < BOARD_RAM_BYTES / SECTION_BYTES; section++) {
        u32 base = BOARD_RAM_BASE + section * SECTION_BYTES;
        BoardTranslationTable[base >> SECTION_SHIFT] = base | L1_AP_FULL | L1_NORMAL_UNCACHED | L1_SECTION;
    }
    BoardTranslationTable[BOARD_UART_BASE >> SECTION_SHIFT] =
        BOARD_UART_BASE | L1_AP_FULL | L1_DEVICE | L1_EXECUTE_NEVER | L1_SECTION;

    __asm__ __volatile__("mcr p15, 0, %0, c2, c0, 2" : : "r"(0u));                               /* TTBCR */
    __asm__ __volatile__("mcr p15, 0, %0, c2, c0, 0" : : "r"((u32)(uptr)BoardTranslationTable)); /* TTBR0 */
    __asm__ __volatile__("mcr p15, 0, %0, c3, c0, 0" : : "r"(DACR_ALL_CLIENT));                  /* DACR */
    BarrierAndFlushTlb();
    __asm__ __volatile__("mrc p15, 0, %0, c1, c0, 0" : "=r"(control));
    control |= SCTLR_MMU | SCTLR_ALIGNMENT_CHECK;
    __asm__ __volatile__("mcr p15, 0, %0, c1, c0, 0" : : "r"(control) : "memory");
    BarrierAndFlushTlb();
}

/* The board's physical address of a module physical range, or 0 when the board has nothing there. */
static u32 BoardPhysical(u32 modulePhysical, u32 bytes)
{
    if (modulePhysical - MODULE_FLASH_PHYSICAL < BOARD_FLASH_BANK_BYTES &&
        bytes <= BOARD_FLASH_BANK_BYTES - (modulePhysical - MODULE_FLASH_PHYSICAL)) {
        return BOARD_FLASH_BANK1 + (modulePhysical - MODULE_FLASH_PHYSICAL);
    }
    if (bytes == PAGE_BYTES && modulePhysical == MODULE_GPIO_PAGE) return (u32)(uptr)GpioStandIn;
    if (bytes == PAGE_BYTES && modulePhysical == MODULE_PIN_MUX_PAGE) return (u32)(uptr)PinMuxStandIn;
    return 0;
}

static Reservation* ReservationHolding(u32 address, u32 bytes)
{
    u32 i;
    for (i = 0; i < ReservationCount; i++) {
        Reservation* r = &Reservations[i];
        if (r->Live && address >= r->Base && address - r->Base < r->Bytes &&
            bytes <= r->Bytes - (address - r->Base)) {
            return r;
        }
    }
    return 0;
}

/* The second-level entry of a virtual page, with a table made for its section when needed. */
static u32* PageEntry(u32 virtualAddress)
{
    u32* section = &BoardTranslationTable[virtualAddress >> SECTION_SHIFT];
    u32* table;
    if ((*section & 0x3u) != L1_COARSE) {
        if (BoardPageTablesUsed == L2_TABLES) return 0;
        table = BoardPageTables[BoardPageTablesUsed++];
        *section = (u32)(uptr)table | L1_COARSE;
    }
    table = (u32*)(uptr)(*section & L2_TABLE_MASK);
    return &table[(virtualAddress >> PAGE_SHIFT) & (L2_ENTRIES - 1)];
}

void* OsVirtualAlloc(void* address, u32 bytes, u32 allocationType, u32 protect)
{
    Reservation* r;
    u32 span = (bytes + SECTION_BYTES - 1) & ~(SECTION_BYTES - 1);
    (void)protect;
    if (address != 0 || allocationType != OS_MEM_RESERVE || bytes == 0 || span < bytes ||
        ReservationCount == RESERVATIONS || span > WINDOW_SPACE_END - NextWindowSpace) {
        LastError = OS_ERROR_INVALID_PARAMETER;
        return 0;
    }
    /* Address space is never handed out twice, so a window used after its release faults. */
    r = &Reservations[ReservationCount++];
    r->Base = NextWindowSpace;
    r->Bytes = (bytes + PAGE_BYTES - 1) & ~(PAGE_BYTES - 1);
    r->Live = 1;
    NextWindowSpace += span;
    return (void*)(uptr)r->Base;
}

OsBool OsVirtualCopy(void* destination, void* source, u32 bytes, u32 protect)
{
    u32 to = (u32)(uptr)destination;
    u32 modulePhysical;
    u32 boardPhysical;
    u32 page;

    /* Only physical pages, read/write and uncached, as the device code asks for them. */
    if (protect != (OS_PAGE_READWRITE | OS_PAGE_NOCACHE | OS_PAGE_PHYSICAL) || (uptr)source > 0x00FFFFFFu ||
        (to & (PAGE_BYTES - 1)) != 0 || bytes == 0 || (bytes & (PAGE_BYTES - 1)) != 0 ||
        ReservationHolding(to, bytes) == 0) {
        LastError = OS_ERROR_INVALID_PARAMETER;
        return OS_FALSE;
    }
    modulePhysical = (u32)(uptr)source << 8;
    boardPhysical = BoardPhysical(modulePhysical, bytes);
    if (boardPhysical == 0) {
        LastError = OS_ERROR_INVALID_PARAMETER;
        return OS_FALSE;
    }
    for (page = 0; page < bytes; page += PAGE_BYTES) {
        u32* entry = PageEntry(to + page);
        if (entry == 0) {
            LastError = OS_ERROR_NOT_ENOUGH_MEMORY;
            return OS_FALSE;
        }
        *entry = (boardPhysical + page) | L2_AP_FULL | L2_DEVICE | L2_SMALL_PAGE | L2_EXECUTE_NEVER;
    }
    BarrierAndFlushTlb();
    return OS_TRUE;
}

OsBool OsVirtualFree(void* address, u32 bytes, u32 freeType)
{
    u32 base = (u32)(uptr)address;
    u32 i;
    if (bytes != 0 || freeType != OS_MEM_RELEASE) {
        LastError = OS_ERROR_INVALID_PARAMETER;
        return OS_FALSE;
    }
    for (i = 0; i < ReservationCount; i++) {
        Reservation* r = &Reservations[i];
        u32 page;
        if (!r->Live || r->Base != base) continue;
        for (page = 0; page < r->Bytes; page += PAGE_BYTES) {
            u32 section = BoardTranslationTable[(base + page) >> SECTION_SHIFT];
            if ((section & 0x3u) == L1_COARSE) *PageEntry(base + page) = 0;
        }
        r->Live = 0;
        BarrierAndFlushTlb();
        return OS_TRUE;
    }
    LastError = OS_ERROR_INVALID_PARAMETER;
    return OS_FALSE;
}

u32 BoardLiveReservations(void)
{
    u32 live = 0;
    u32 i;
    for (i = 0; i < ReservationCount; i++) live += Reservations[i].Live ? 1u : 0u;
    return live;
}

volatile u32* BoardGpioStandIn(void)
{
    return GpioStandIn;
}

/* --- the arena: first fit, a header before every block --- */

typedef struct ArenaBlock {
    u32 Bytes; /* the block's payload, a multiple of ARENA_ALIGN */
    u32 Used;
} ArenaBlock;

static u32 ArenaWords[ARENA_BYTES / 4] __attribute__((aligned(8)));
static i32 ArenaReady = 0;
static u32 ArenaUsedBytes = 0;
static u32 ArenaBadFrees = 0;

static ArenaBlock* ArenaFirst(void)
{
    return (ArenaBlock*)(void*)ArenaWords;
}

static ArenaBlock* ArenaNext(ArenaBlock* block)
{
    return (ArenaBlock*)(void*)((u8*)(void*)(block + 1) + block->Bytes);
}

static ArenaBlock* ArenaEnd(void)
{
    return (ArenaBlock*)(void*)(ArenaWords + ARENA_BYTES / 4);
}

void* OsLocalAlloc(u32 flags, u32 bytes)
{
    ArenaBlock* block;
    u32 need = (bytes + ARENA_ALIGN - 1) & ~(ARENA_ALIGN - 1);
    (void)flags;
    if (!ArenaReady) {
        ArenaFirst()->Bytes = ARENA_BYTES - sizeof(ArenaBlock);
        ArenaFirst()->Used = 0;
        ArenaReady = 1;
    }
    if (bytes == 0 || need < bytes) need = ARENA_ALIGN;
    for (block = ArenaFirst(); block != ArenaEnd(); block = ArenaNext(block)) {
        if (block->Used || block->Bytes < need) continue;
        if (block->Bytes >= need + sizeof(ArenaBlock) + ARENA_ALIGN) {
            ArenaBlock* rest = (ArenaBlock*)(void*)((u8*)(void*)(block + 1) + need);
            rest->Bytes = block->Bytes - need - sizeof(ArenaBlock);
            rest->Used = 0;
            block->Bytes = need;
        }
        block->Used = 1;
        ArenaUsedBytes += block->Bytes;
        return block + 1;
    }
    LastError = OS_ERROR_NOT_ENOUGH_MEMORY;
    return 0;
}

void* OsLocalFree(void* memory)
{
    ArenaBlock* block;
    if (memory == 0) return 0;
    for (block = ArenaReady ? ArenaFirst() : ArenaEnd(); block != ArenaEnd(); block = ArenaNext(block)) {
        if ((void*)(block + 1) != memory || !block->Used) continue;
        block->Used = 0;
        ArenaUsedBytes -= block->Bytes;
        /* Merge the free blocks that follow, so that the arena does not splinter. */
        while (ArenaNext(block) != ArenaEnd() && !ArenaNext(block)->Used) {
            block->Bytes += sizeof(ArenaBlock) + ArenaNext(block)->Bytes;
        }
        return 0;
    }
    ArenaBadFrees++;
    LastError = OS_ERROR_INVALID_HANDLE;
    return memory;
}

u32 BoardArenaInUse(void)
{
    return ArenaUsedBytes;
}

u32 BoardBadFrees(void)
{
    return ArenaBadFrees;
}

/* --- strings --- */

u32 OsStrLen(const WChar* s)
{
    u32 n = 0;
    while (s[n]) n++;
    return n;
}

WChar* OsStrCopy(WChar* destination, const WChar* source)
{
    u32 i = 0;
    do {
        destination[i] = source[i];
    } while (source[i++]);
    return destination;
}

static WChar FoldCase(WChar c)
{
    return c >= 'a' && c <= 'z' ? (WChar)(c - 'a' + 'A') : c;
}

i32 OsStrICmp(const WChar* a, const WChar* b)
{
    while (*a && FoldCase(*a) == FoldCase(*b)) {
        a++;
        b++;
    }
    return (i32)FoldCase(*a) - (i32)FoldCase(*b);
}

/* --- handles: files, processes, threads, mappings --- */

enum HandleKind { HANDLE_FREE, HANDLE_FILE, HANDLE_PROCESS, HANDLE_THREAD, HANDLE_MAPPING };

typedef struct Handle {
    u32 Kind;
    u32 Index;
} Handle;

static Handle Handles[HANDLES];
static u32 BadCloses = 0;

static OsHandle OpenHandle(u32 kind, u32 index)
{
    u32 i;
    for (i = 0; i < HANDLES; i++) {
        if (Handles[i].Kind != HANDLE_FREE) continue;
        Handles[i].Kind = kind;
        Handles[i].Index = index;
        return &Handles[i];
    }
    return 0;
}

static Handle* HandleOf(OsHandle handle, u32 kind)
{
    u32 i;
    for (i = 0; i < HANDLES; i++) {
        if (handle == &Handles[i] && Handles[i].Kind == kind) return &Handles[i];
    }
    return 0;
}

OsBool OsCloseHandle(OsHandle handle)
{
    u32 i;
    for (i = 0; i < HANDLES; i++) {
        if (handle == &Handles[i] && Handles[i].Kind != HANDLE_FREE) {
            Handles[i].Kind = HANDLE_FREE;
            return OS_TRUE;
        }
    }
    BadCloses++;
    LastError = OS_ERROR_INVALID_HANDLE;
    return OS_FALSE;
}

u32 BoardOpenHandles(void)
{
    u32 open = 0;
    u32 i;
    for (i = 0; i < HANDLES; i++) open += Handles[i].Kind != HANDLE_FREE ? 1u : 0u;
    return open;
}

u32 BoardBadHandleCloses(void)
{
    return BadCloses;
}

/* --- files, kept in memory in one flat folder --- */

typedef struct BoardFile {
    i32 Used;
    WChar Name[NAME_CHARS];
    u32 Size;
    u32 Data[FILE_BYTES / 4];
} BoardFile;

static BoardFile Files[FILES];

static BoardFile* FileNamed(const WChar* name)
{
    u32 i;
    for (i = 0; i < FILES; i++) {
        if (Files[i].Used && OsStrICmp(Files[i].Name, name) == 0) return &Files[i];
    }
    return 0;
}

OsHandle OsCreateFile(const WChar* name, u32 access, u32 shareMode, void* security, u32 disposition,
                      u32 flagsAndAttributes, OsHandle templateFile)
{
    BoardFile* file;
    OsHandle handle;
    u32 i;
    (void)shareMode;
    (void)security;
    (void)flagsAndAttributes;
    (void)templateFile;
    /* Files are only ever created whole here: written once, as the hand-off does. */
    if (name == 0 || access != OS_GENERIC_WRITE || disposition != OS_CREATE_ALWAYS) {
        LastError = OS_ERROR_NOT_SUPPORTED;
        return OS_INVALID_HANDLE;
    }
    if (OsStrLen(name) >= NAME_CHARS) {
        LastError = OS_ERROR_INVALID_NAME;
        return OS_INVALID_HANDLE;
    }
    file = FileNamed(name);
    for (i = 0; file == 0 && i < FILES; i++) {
        if (!Files[i].Used) file = &Files[i];
    }
    if (file == 0) {
        LastError = OS_ERROR_DISK_FULL;
        return OS_INVALID_HANDLE;
    }
    handle = OpenHandle(HANDLE_FILE, (u32)(file - Files));
    if (handle == 0) {
        LastError = OS_ERROR_NOT_ENOUGH_MEMORY;
        return OS_INVALID_HANDLE;
    }
    file->Used = 1;
    file->Size = 0;
    OsStrCopy(file->Name, name);
    return handle;
}

OsBool OsWriteFile(OsHandle handle, const void* buffer, u32 bytesToWrite, u32* bytesWritten, void* overlapped)
{
    Handle* h = HandleOf(handle, HANDLE_FILE);
    BoardFile* file;
    u8* data;
    u32 i;
    (void)overlapped;
    if (bytesWritten) *bytesWritten = 0;
    if (h == 0) {
        LastError = OS_ERROR_INVALID_HANDLE;
        return OS_FALSE;
    }
    file = &Files[h->Index];
    if (bytesToWrite > FILE_BYTES - file->Size) {
        LastError = OS_ERROR_DISK_FULL;
        return OS_FALSE;
    }
    data = (u8*)(void*)file->Data;
    for (i = 0; i < bytesToWrite; i++) data[file->Size + i] = ((const u8*)buffer)[i];
    file->Size += bytesToWrite;
    if (bytesWritten) *bytesWritten = bytesToWrite;
    return OS_TRUE;
}

const u8* BoardFileData(const WChar* name, u32* size)
{
    BoardFile* file = FileNamed(name);
    if (file == 0) return 0;
    *size = file->Size;
    return (const u8*)(const void*)file->Data;
}

u32 BoardFileCount(void)
{
    u32 count = 0;
    u32 i;
    for (i = 0; i < FILES; i++) count += Files[i].Used ? 1u : 0u;
    return count;
}

/* --- processes: recorded, never run --- */

static WChar Started[STARTED][NAME_CHARS];
static u32 StartedCount = 0;

OsBool OsCreateProcess(const WChar* imageName, const WChar* commandLine, void* processSecurity,
                       void* threadSecurity, OsBool inheritHandles, u32 creationFlags, void* environment,
                       const WChar* currentDirectory, void* startupInfo,
                       OsProcessInformation* processInformation)
{
    (void)commandLine;
    (void)processSecurity;
    (void)threadSecurity;
    (void)inheritHandles;
    (void)creationFlags;
    (void)environment;
    (void)currentDirectory;
    (void)startupInfo;
    if (imageName == 0 || processInformation == 0 || OsStrLen(imageName) >= NAME_CHARS ||
        StartedCount == STARTED) {
        LastError = OS_ERROR_INVALID_PARAMETER;
        return OS_FALSE;
    }
    processInformation->Process = OpenHandle(HANDLE_PROCESS, StartedCount);
    processInformation->Thread = OpenHandle(HANDLE_THREAD, StartedCount);
    processInformation->ProcessId = 0x100u + StartedCount;
    processInformation->ThreadId = 0x200u + StartedCount;
    OsStrCopy(Started[StartedCount++], imageName);
    return OS_TRUE;
}

u32 BoardStartedCount(void)
{
    return StartedCount;
}

const WChar* BoardStarted(u32 index)
{
    return index < StartedCount ? Started[index] : 0;
}

/* --- shared memory: named regions from the arena --- */

typedef struct Mapping {
    WChar Name[NAME_CHARS];
    u32 Bytes;
    void* View;
} Mapping;

static Mapping Mappings[MAPPINGS];
static u32 MappingCount = 0;

OsHandle OsCreateFileMapping(OsHandle file, void* security, u32 protect, u32 maximumSizeHigh,
                             u32 maximumSizeLow, const WChar* name)
{
    u32 i;
    u8* view;
    (void)security;
    (void)protect;
    if (file != OS_INVALID_HANDLE || maximumSizeHigh != 0 || maximumSizeLow == 0 || name == 0 ||
        OsStrLen(name) >= NAME_CHARS) {
        LastError = OS_ERROR_INVALID_PARAMETER;
        return 0;
    }
    for (i = 0; i < MappingCount; i++) {
        if (OsStrICmp(Mappings[i].Name, name) == 0) return OpenHandle(HANDLE_MAPPING, i);
    }
    if (MappingCount == MAPPINGS) {
        LastError = OS_ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    view = (u8*)OsLocalAlloc(OS_LMEM_FIXED, maximumSizeLow);
    if (view == 0) return 0;
    for (i = 0; i < maximumSizeLow; i++) view[i] = 0;
    OsStrCopy(Mappings[MappingCount].Name, name);
    Mappings[MappingCount].Bytes = maximumSizeLow;
    Mappings[MappingCount].View = view;
    return OpenHandle(HANDLE_MAPPING, MappingCount++);
}

void* OsMapViewOfFile(OsHandle mapping, u32 desiredAccess, u32 offsetHigh, u32 offsetLow, u32 bytesToMap)
{
    Handle* h = HandleOf(mapping, HANDLE_MAPPING);
    (void)desiredAccess;
    if (h == 0 || offsetHigh != 0 || offsetLow != 0 || bytesToMap > Mappings[h->Index].Bytes) {
        LastError = OS_ERROR_INVALID_PARAMETER;
        return 0;
    }
    return Mappings[h->Index].View;
}

/* --- boot configuration --- */

static u32 BootItem12 = 0;
static i32 BootItem12Set = 0;

void BoardSetBootItem12(u32 value)
{
    BootItem12 = value;
    BootItem12Set = 1;
}

OsBool OsKernelIoControl(u32 ioControlCode, void* inBuffer, u32 inBytes, void* outBuffer, u32 outBytes,
                         u32* bytesReturned)
{
    /* The request: the item, the destination's address, the destination's size. */
    const u32* request = (const u32*)inBuffer;
    if (ioControlCode != BOOT_CONFIG_IOCTL || request == 0 || inBytes < 12 ||
        request[0] != BOOT_ITEM_TESTER || !BootItem12Set || outBuffer == 0 || outBytes < 4) {
        LastError = OS_ERROR_NOT_SUPPORTED;
        return OS_FALSE;
    }
    *(u32*)outBuffer = BootItem12;
    if (bytesReturned) *bytesReturned = 4;
    return OS_TRUE;
}

/* --- time: the core's generic timer --- */

#define TIMER_ENABLE_MASKED 0x3u /* enabled, its interrupt masked */

static i32 TimerStarted = 0;
static u32 TimerLast = 0;
static u32 TimerPending = 0;
static u32 TickCount = 0;

/* The virtual timer's count since the timer was started, modulo 2^32. ARMv4T has no instruction for
   the 64-bit count, so the 32-bit timer value is used: set to 0 at the start it compares equal to
   the count then, and reads minus the ticks elapsed since. */
static u32 TimerElapsed(void)
{
    u32 value;
    if (!TimerStarted) {
        __asm__ __volatile__("mcr p15, 0, %0, c14, c3, 0" : : "r"(0u));                  /* CNTV_TVAL */
        __asm__ __volatile__("mcr p15, 0, %0, c14, c3, 1" : : "r"(TIMER_ENABLE_MASKED)); /* CNTV_CTL */
        TimerStarted = 1;
    }
    __asm__ __volatile__("mrc p15, 0, %0, c14, c3, 0" : "=r"(value));
    return 0u - value;
}

/* Ticks are counted from the timer's differences, so a wait must read it at least once a minute
   (2^32 ticks at the board's 62.5 MHz), as every wait of the device code does. */
u32 OsGetTickCount(void)
{
    u32 now = TimerElapsed();
    u32 frequency;
    u32 perMs;
    __asm__ __volatile__("mrc p15, 0, %0, c14, c0, 0" : "=r"(frequency)); /* CNTFRQ */
    perMs = frequency / 1000u;
    TimerPending += now - TimerLast;
    TimerLast = now;
    TickCount += TimerPending / perMs;
    TimerPending %= perMs;
    return TickCount;
}

void OsSleep(u32 milliseconds)
{
    u32 start = OsGetTickCount();
    while (OsGetTickCount() - start < milliseconds) {
    }
}

/* --- what the compiler may call in a freestanding program --- */

extern "C" void* memcpy(void* destination, const void* source, size_t bytes)
{
    u8* to = (u8*)destination;
    const u8* from = (const u8*)source;
    while (bytes--) *to++ = *from++;
    return destination;
}

extern "C" void* memmove(void* destination, const void* source, size_t bytes)
{
    u8* to = (u8*)destination;
    const u8* from = (const u8*)source;
    if (to < from) return memcpy(destination, source, bytes);
    while (bytes--) to[bytes] = from[bytes];
    return destination;
}

extern "C" void* memset(void* destination, int value, size_t bytes)
{
    u8* to = (u8*)destination;
    while (bytes--) *to++ = (u8)value;
    return destination;
}

extern "C" int memcmp(const void* a, const void* b, size_t bytes)
{
    const u8* x = (const u8*)a;
    const u8* y = (const u8*)b;
    for (; bytes--; x++, y++) {
        if (*x != *y) return *x - *y;
    }
    return 0;
}
