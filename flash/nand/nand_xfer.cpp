/*
 * NAND page, spare and block transfers at physical flash offsets. Every page moves whole through the
 * data FIFO (page data, then the spare bytes when spare transfer is on) under a command of its own.
 * Nothing here remaps, replaces or retries: the bad-block layer decides from the result codes.
 */
#include "flash/nand/nand.h"

#include "flash/nand/nand_internal.h"

/* Page number shifts of the device address: 512-byte and 2 KiB pages. */
#define NAND_SMALL_PAGE_SHIFT 9
#define NAND_LARGE_PAGE_SHIFT 11
#define NAND_LARGE_COLUMN_MASK 0x7FFu   /* two column bytes */
#define NAND_LARGE_ROW_SHIFT 16         /* the row begins at the third address byte */
#define NAND_LARGE_HIGH_ROW_SHIFT 27    /* row bits 19..16 go to address word 2 */

/* --- address split --- */

void NandSplitAddress(u32 offset, u32* address1, u32* address2, i32 erase, i32 halve, u32* chipSelect)
{
    u32 d = halve ? offset >> 1 : offset;
    if (chipSelect != 0) {
        u32 cs0Size = NandMode(NAND_M_CS0_SIZE);
        if (d >= cs0Size) {
            *chipSelect = 1;
            d -= cs0Size;
        } else {
            *chipSelect = 0;
        }
    }

    switch (NandChipIndex) {
    case 1:
        /* One column byte, then the page number from the second address byte on. */
        *address1 = erase ? (d >> NAND_SMALL_PAGE_SHIFT) & 0xFFFFu : (d & 0xFFu) | ((d >> 1) & 0x00FFFF00u);
        *address2 = 0;
        break;
    case 2:
        *address1 = erase ? (d >> NAND_SMALL_PAGE_SHIFT) & 0x1FFFFu : (d & 0xFFu) | ((d >> 1) & 0x01FFFF00u);
        *address2 = 0;
        break;
    case 3:
    case 5:
        *address1 = erase ? d >> NAND_LARGE_PAGE_SHIFT
                          : (d & NAND_LARGE_COLUMN_MASK) | ((d >> NAND_LARGE_PAGE_SHIFT) << NAND_LARGE_ROW_SHIFT);
        *address2 = erase ? 0 : (d >> NAND_LARGE_HIGH_ROW_SHIFT) & 0xFu;
        break;
    case 4:
        *address1 = erase ? d >> NAND_LARGE_PAGE_SHIFT
                          : (d & NAND_LARGE_COLUMN_MASK) | ((d >> NAND_LARGE_PAGE_SHIFT) << NAND_LARGE_ROW_SHIFT);
        *address2 = 0;
        break;
    default:
        /* No chip identified: the address words stay as they were. */
        break;
    }
}

/* --- helpers --- */

static u32 NandTwoCommandFlag(u32 pair)
{
    return (pair & NAND_CMDW_SECOND_BYTE) != 0 ? NAND_CMDW_TWO_COMMANDS : 0;
}

static u32 NandPageCommand(i32 program, u32 chipSelect)
{
    u32 pair = NandParam(program ? NAND_P_PROGRAM_CMD : NAND_P_READ_CMD);
    u32 command = pair | NandParam(NAND_P_PAGE_ADDR_CYCLES) << NAND_CMDW_ADDR_CYCLES_SHIFT |
                  NandTwoCommandFlag(pair) | chipSelect << NAND_CMDW_CS_SHIFT;
    if (program) command |= NAND_CMDW_TYPE_PROGRAM << NAND_CMDW_TYPE_SHIFT | NAND_CMDW_AUTO_STATUS;
    return command;
}

/* The whole flash as the driver addresses it (both chip selects, both devices of the wide bus). */
static u32 NandFlashSize(void)
{
    return NandBlockCount() * NandBlockSize();
}

/* Bytes outside the caller's range: read and dropped, or written as all ones so they stay as they
   were (programming only clears bits). */
static void NandMoveFill(i32 program, u32 bytes)
{
    if (program) {
        NandFifoWrite(0, bytes / 4);
    } else {
        NandFifoRead(0, bytes / 4);
    }
}

/* Data words between the caller's buffer and the FIFO. */
static void NandMoveData(u32* in, const u32* out, u32 bytes)
{
    if (out != 0) {
        NandFifoWrite(out, bytes / 4);
    } else {
        NandFifoRead(in, bytes / 4);
    }
}

/* --- page read and page program --- */

static i32 NandWalkPages(u32* in, const u32* out, u32 offset, u32 length)
{
    i32 program = out != 0;
    u32 request = program ? NAND_STATUS_WRITE_REQUEST : NAND_STATUS_READ_REQUEST;
    u32 n = length & ~3u;
    u32 a = NandPageSize();
    u32 s = NandSpareSize();
    u32 c = NandBlockSize();
    i32 halve = 0;
    i32 narrow = 0;
    i32 accumulated = NAND_OK;
    i32 final = NAND_TIMEOUT;
    u32 e, lead, tail, g, run, command, chipSelect = 0, address1 = 0, address2 = 0;
    i32 r;

    /* Refusals come before any register access. */
    if (NandChipIndex == 0 || (offset & 3u) != 0) return NAND_TIMEOUT;
    if (NandMode(NAND_M_WIDE_BUS) != 0) {
        if (offset >= c) {
            halve = 1;
        } else {
            /* The first block is reached as on an 8-bit bus: device 0 alone, 512-byte pages. */
            if (n > c - offset) return NAND_TIMEOUT;
            narrow = 1;
            a /= 2;
            s /= 2;
            if (n > c / 2) n = c / 2;
            /* Device 0's first block is half the flash's block; past it the un-halved offset
               would reach device 0's second block, which holds half of the flash's block 1. */
            if (offset >= c / 2 || n > c / 2 - offset) return NAND_TIMEOUT;
        }
    }
    /* A page-aligned empty range would leave its page half moved. */
    if (n == 0 && (offset & (a - 1)) == 0) return NAND_TIMEOUT;
    /* A range past the end would address blocks that do not exist (and could wrap the counts). */
    if (offset >= NandFlashSize() || n > NandFlashSize() - offset) return NAND_TIMEOUT;

    if (narrow) {
        /* The copy and the bit change are separate accesses: the change reads the register afresh. */
        NandSavedControl = NandRegRead(NAND_REG_CONTROL);
        NandRegWrite(NAND_REG_CONTROL, NandRegRead(NAND_REG_CONTROL) & ~NAND_CTRL_WIDE_BUS);
    }

    e = offset & ~(a - 1);
    lead = offset - e;
    tail = ((offset + n - 1) & ~(a - 1)) - offset - n + a + s;

    NandSplitAddress(e, &address1, &address2, 0, halve, &chipSelect);
    command = NandPageCommand(program, chipSelect);
    if (NandIssueCommand(command, address1, address2) != NAND_OK) goto done;
    if (NandWaitStatus(request) != NAND_WAIT_OK) goto done;

    NandMoveFill(program, lead);
    g = lead;
    while (n != 0) {
        /* The data words up to the end of the page or of the range. */
        run = a - (g & (a - 1));
        if (run > n) run = n;
        NandMoveData(in, out, run);
        if (program) {
            out += run / 4;
        } else {
            in += run / 4;
        }
        g += run;
        n -= run;
        if (n == 0) break;

        /* A page is complete and data remain: finish it, then start the next one. */
        NandMoveFill(program, s);
        r = NandCommandResult();
        if (r != NAND_OK) {
            accumulated |= r;
            if (r != NAND_ECC_ERROR) goto done; /* an ECC error still delivers the data */
        }
        e += a;
        NandSplitAddress(e, &address1, &address2, 0, halve, &chipSelect);
        command = (command & ~NAND_CMDW_CS1) | chipSelect << NAND_CMDW_CS_SHIFT;
        if (NandIssueCommand(command, address1, address2) != NAND_OK) goto done;
        if (NandWaitStatus(request) != NAND_WAIT_OK) goto done;
    }
    NandMoveFill(program, tail);
    final = NandCommandResult();

done:
    if (narrow) NandRegWrite(NAND_REG_CONTROL, NandSavedControl);
    return accumulated | final;
}

i32 NandReadPage(u32* buffer, u32 offset, u32 length)
{
    return NandWalkPages(buffer, 0, offset, length);
}

i32 NandProgramPage(const u32* buffer, u32 offset, u32 length)
{
    return NandWalkPages(0, buffer, offset, length);
}

/* --- spare read and spare program --- */

/* One page with spare transfer already on: the page data is skipped (or left as it is), n bytes of
   the spare area move, the rest of the spare area is skipped. */
static i32 NandSparePage(u32* in, const u32* out, u32 offset, u32 length)
{
    i32 program = out != 0;
    u32 n = length & ~3u;
    u32 a = NandPageSize();
    u32 s = NandSpareSize();
    u32 chipSelect = 0, address1 = 0, address2 = 0;

    if (s < n) return NAND_TIMEOUT;
    NandSplitAddress(offset & ~(a - 1), &address1, &address2, 0, NandMode(NAND_M_WIDE_BUS) != 0, &chipSelect);
    if (NandIssueCommand(NandPageCommand(program, chipSelect), address1, address2) != NAND_OK) return NAND_TIMEOUT;
    if (NandWaitStatus(program ? NAND_STATUS_WRITE_REQUEST : NAND_STATUS_READ_REQUEST) != NAND_WAIT_OK) {
        return NAND_TIMEOUT;
    }

    NandMoveFill(program, a);
    NandMoveData(in, out, n);
    NandMoveFill(program, s - n);
    return NandCommandResult();
}

i32 NandReadSpare(u32* buffer, u32 offset, u32 length)
{
    i32 result;
    if (NandChipIndex == 0 || offset >= NandFlashSize()) return NAND_TIMEOUT;
    NandSetSpare(1);
    result = NandSparePage(buffer, 0, offset, length);
    NandSetSpare(0);
    return result;
}

i32 NandWriteSpare(const u32* buffer, u32 offset, u32 length)
{
    i32 result;
    if (NandChipIndex == 0 || offset >= NandFlashSize()) return NAND_TIMEOUT;
    /* The spare bytes are written raw: with ECC on the controller would put its code there. */
    NandSetSpare(1);
    NandSetEcc(0);
    result = NandSparePage(0, buffer, offset, length);
    NandSetSpare(0);
    NandSetEcc(0);
    return result;
}

/* --- block erase --- */

i32 NandEraseBlock(u32 offset)
{
    u32 chipSelect = 0, address1 = 0, address2 = 0;
    u32 pair, command;
    if (NandChipIndex == 0 || offset >= NandFlashSize()) return NAND_TIMEOUT;

    NandSplitAddress(offset, &address1, &address2, 1, NandMode(NAND_M_WIDE_BUS) != 0, &chipSelect);
    pair = NandParam(NAND_P_ERASE_CMD);
    command = pair | NandParam(NAND_P_ERASE_ADDR_CYCLES) << NAND_CMDW_ADDR_CYCLES_SHIFT | NandTwoCommandFlag(pair) |
              NAND_CMDW_TYPE_ERASE << NAND_CMDW_TYPE_SHIFT | chipSelect << NAND_CMDW_CS_SHIFT |
              NAND_CMDW_AUTO_STATUS;
    if (NandIssueCommand(command, address1, address2) != NAND_OK) return NAND_TIMEOUT;
    /* No data phase: the automatic status read reports a failed erase as a bad block. */
    return NandCommandResult();
}
