/*
 * The NAND controller: chip records, register access, command issue, status polls, timing and
 * control set-up, geometry and the probe. The driver polls; it takes no interrupts and uses no DMA.
 */
#include "flash/nand/nand.h"

#include "flash/nand/nand_internal.h"
#include "hw/devmem.h"
#include "hw/physwin.h"
#include "hw/pins.h"

#define NAND_CLOCK_DEFAULT_MHZ 104u
#define NAND_CLOCK_FAST_MHZ 156u /* the 0xF1EC module runs its controller faster */
#define NAND_PIN_SMALL_PAGE_CHIPS 73u /* driven high for the two small-page chips */

/* Timing registers: counts of controller clock cycles; every other bit is written as 0. */
#define NAND_NS_PER_US 1000u /* times are in ns, the clock in MHz */
#define NAND_T0_TCH_SHIFT 19 /* timing register 0: six 3-bit fields */
#define NAND_T0_TCS_SHIFT 16
#define NAND_T0_TWH_SHIFT 11
#define NAND_T0_TWP_SHIFT 8
#define NAND_T0_TRH_SHIFT 3
#define NAND_T0_TRP_SHIFT 0
#define NAND_T0_FIELD_MAX 7u
#define NAND_T1_TR_SHIFT 16 /* timing register 1: tR in 16 bits, tWHR and tAR in 4 bits */
#define NAND_T1_TR_MAX 0xFFFFu
#define NAND_T1_TWHR_SHIFT 4
#define NAND_T1_TAR_SHIFT 0
#define NAND_T1_SHORT_MAX 0xFu

/* Device IDs: maker code in bits 7..0, device code in bits 15..8. */
#define NAND_ID_MASK 0xFFFFu
#define NAND_ID_RECORD1 0x75ECu
#define NAND_ID_RECORD2 0x76ECu
#define NAND_ID_RECORD3 0xD3ECu
#define NAND_ID_RECORD4 0xF1ECu
#define NAND_ID_RECORD5 0xDCADu

/* --- chip records --- */

/* Records 1..5 belong to the device IDs of the probe; record 0 serves until the chip is known. */
const u32 NandChipParams[NAND_RECORD_COUNT][NAND_PARAM_WORDS] = {
    /* 0: generic */
    {100, 100, 100, 100, 100, 100, 20000, 100, 100, 0, 0, 0, 0x20000, 0, 0, 0, 0, 0, 0, 0x90, 0xFF, 0, 0, 0, 0x70,
     2048},
    /* 1: 0x75EC */
    {10, 0, 15, 35, 15, 35, 15120, 60, 10, 0, 0, 0, 0x20000, 0, 3, 2, 0, 0x0000, 0x50, 0x90, 0xFF, 0x1080, 0x8A00,
     0xD060, 0x70, 2048},
    /* 2: 0x76EC */
    {10, 0, 15, 35, 15, 35, 15120, 60, 10, 0, 0, 0, 0x40000, 0, 4, 3, 0, 0x0000, 0x50, 0x90, 0xFF, 0x1080, 0x8A00,
     0xD060, 0x70, 4096},
    /* 3: 0xD3EC */
    {5, 20, 10, 12, 10, 22, 20120, 60, 10, 0x800000, 0x8000, 0x1000000, 0x50000, 0x4000, 5, 3, 0, 0x3000, 0, 0x90,
     0xFF, 0x1080, 0x1085, 0xD060, 0x70, 8192},
    /* 4: 0xF1EC */
    {5, 20, 10, 12, 10, 22, 25120, 60, 10, 0, 0x8000, 0x1000000, 0x50000, 0x4000, 4, 2, 0, 0x3000, 0, 0x90, 0xFF,
     0x1080, 0x1085, 0xD060, 0x70, 1024},
    /* 5: 0xDCAD */
    {5, 25, 10, 15, 10, 25, 25120, 60, 15, 0, 0x8000, 0x1000000, 0x40000, 0x4000, 5, 3, 0, 0x3000, 0, 0x90, 0xFF,
     0x1080, 0x1085, 0xD060, 0x70, 8192},
};

/* The holders start off; the small-page chips sit on the 16-bit bus; 0xDCAD has two chip selects. */
DEVICE_STATE u32 NandModeFlags[NAND_RECORD_COUNT][NAND_MODE_WORDS] = {
    {0, 0, 0, 0, NAND_CTRL_WIDE_BUS, 0x1000, 0xFFFFFFFFu}, {0, 0, 0, 0, NAND_CTRL_WIDE_BUS, 0x1000, 0xFFFFFFFFu},
    {0, 0, 0, 0, NAND_CTRL_WIDE_BUS, 0x1000, 0xFFFFFFFFu}, {0, 0, 0, 0, 0, 0x1000, 0xFFFFFFFFu},
    {0, 0, 0, 0, 0, 0x1000, 0xFFFFFFFFu},                  {0, 0, 0, 0, 0, 0x1000, 0x20000000u},
};

/* --- driver state --- */

DEVICE_STATE volatile u32* NandRegs = 0;
DEVICE_STATE u32 NandChipIndex = 0;
DEVICE_STATE u32 NandClockMhz = NAND_CLOCK_DEFAULT_MHZ;
DEVICE_STATE u32 NandSavedControl = 0;

u32 NandParam(u32 word)
{
    return NandChipParams[NandChipIndex][word];
}

u32 NandMode(u32 word)
{
    return NandModeFlags[NandChipIndex][word];
}

/* --- register access and command issue --- */

u32 NandRegRead(u32 offset)
{
    return DevRead32(DevReg(NandRegs, offset));
}

void NandRegWrite(u32 offset, u32 value)
{
    DevWrite32(DevReg(NandRegs, offset), value);
}

void NandFifoRead(u32* buffer, u32 words)
{
    DevReadRepeated32(DevReg(NandRegs, NAND_REG_DATA), buffer, words);
}

void NandFifoWrite(const u32* buffer, u32 words)
{
    DevWriteRepeated32(DevReg(NandRegs, NAND_REG_DATA), buffer, NAND_FILL_WORD, words);
}

i32 NandIssueCommand(u32 command, u32 address1, u32 address2)
{
    NandRegWrite(NAND_REG_STATUS, NAND_STATUS_CLEAR_ALL);
    NandRegWrite(NAND_REG_CONTROL, NandRegRead(NAND_REG_CONTROL) | NAND_CTRL_RUN);
    if (NandWaitStatus(NAND_STATUS_CMD_REQUEST) != NAND_WAIT_OK) return NAND_TIMEOUT;
    NandRegWrite(NAND_REG_COMMAND, command);
    NandRegWrite(NAND_REG_COMMAND, address1);
    NandRegWrite(NAND_REG_COMMAND, address2);
    return NAND_OK;
}

/* --- status --- */

i32 NandWaitStatus(u32 mask)
{
    /* A bounded count of reads, no clock: the status register is the only thing that moves. */
    i32 i;
    if ((NandRegRead(NAND_REG_STATUS) & mask) != 0) return NAND_WAIT_OK;
    for (i = 0;; ++i) {
        if (i > NAND_WAIT_BOUND) return NAND_WAIT_TIMEOUT;
        if ((NandRegRead(NAND_REG_STATUS) & mask) != 0) return NAND_WAIT_OK;
    }
}

i32 NandCommandResult(void)
{
    u32 status;
    if (NandWaitStatus(NAND_STATUS_READY) != NAND_WAIT_OK) return NAND_TIMEOUT;
    if (NandWaitStatus(NAND_STATUS_OUTCOME) != NAND_WAIT_OK) return NAND_TIMEOUT;
    status = NandRegRead(NAND_REG_STATUS);
    /* A failed program or erase outranks an ECC error. */
    if ((status & (NAND_STATUS_BAD_BLOCK_CS0 | NAND_STATUS_BAD_BLOCK_CS1)) != 0) return NAND_BAD_BLOCK;
    if ((status & NAND_STATUS_ECC_ERROR) != 0) return NAND_ECC_ERROR;
    return NAND_OK;
}

/* --- timing and control --- */

static u32 NandCycles(u32 word, u32 limit)
{
    u32 v = NandParam(word);
    u32 cycles = 0;
    if ((i32)v > 1) cycles = (v * NandClockMhz + NAND_NS_PER_US - 1u) / NAND_NS_PER_US - 1u;
    return cycles < limit ? cycles : limit;
}

void NandSetTimings(void)
{
    u32 timing0 = NandCycles(NAND_P_TCH, NAND_T0_FIELD_MAX) << NAND_T0_TCH_SHIFT |
                  NandCycles(NAND_P_TCS, NAND_T0_FIELD_MAX) << NAND_T0_TCS_SHIFT |
                  NandCycles(NAND_P_TWH, NAND_T0_FIELD_MAX) << NAND_T0_TWH_SHIFT |
                  NandCycles(NAND_P_TWP, NAND_T0_FIELD_MAX) << NAND_T0_TWP_SHIFT |
                  NandCycles(NAND_P_TRH, NAND_T0_FIELD_MAX) << NAND_T0_TRH_SHIFT |
                  NandCycles(NAND_P_TRP, NAND_T0_FIELD_MAX) << NAND_T0_TRP_SHIFT;
    u32 timing1 = NandCycles(NAND_P_TR, NAND_T1_TR_MAX) << NAND_T1_TR_SHIFT |
                  NandCycles(NAND_P_TWHR, NAND_T1_SHORT_MAX) << NAND_T1_TWHR_SHIFT |
                  NandCycles(NAND_P_TAR, NAND_T1_SHORT_MAX) << NAND_T1_TAR_SHIFT;
    NandRegWrite(NAND_REG_TIMING0, timing0);
    NandRegWrite(NAND_REG_TIMING1, timing1);
}

void NandSetControl(void)
{
    /* Written whole: the run bit goes to 0, ECC and spare come back from the holders. */
    u32 control = NAND_CTRL_ALWAYS | NAND_CTRL_IRQ_MASKS | NandParam(NAND_P_CTRL_OPTIONS) |
                  NandParam(NAND_P_CTRL_ROW_START) | NandParam(NAND_P_CTRL_PAGE_SIZE) |
                  NandParam(NAND_P_CTRL_ID_COUNT) | NandParam(NAND_P_CTRL_PAGES_PER_BLOCK) |
                  NandParam(NAND_P_CTRL_EXTRA);
    u32 word;
    for (word = 0; word < NAND_MODE_CONTROL_WORDS; ++word) control |= NandMode(word);
    NandRegWrite(NAND_REG_CONTROL, control);
}

void NandSetEcc(i32 on)
{
    if (on) {
        NandModeFlags[NandChipIndex][NAND_M_ECC_HOLDER] = NAND_CTRL_ECC;
        NandRegWrite(NAND_REG_CONTROL, NandRegRead(NAND_REG_CONTROL) | NAND_CTRL_ECC | NAND_CTRL_ALWAYS);
    } else {
        NandModeFlags[NandChipIndex][NAND_M_ECC_HOLDER] = 0;
        NandRegWrite(NAND_REG_CONTROL, NandRegRead(NAND_REG_CONTROL) & ~NAND_CTRL_ECC);
    }
}

void NandSetSpare(i32 on)
{
    if (on) {
        NandModeFlags[NandChipIndex][NAND_M_SPARE_HOLDER] = NAND_CTRL_SPARE;
        NandRegWrite(NAND_REG_CONTROL, NandRegRead(NAND_REG_CONTROL) | NAND_CTRL_SPARE);
    } else {
        NandModeFlags[NandChipIndex][NAND_M_SPARE_HOLDER] = 0;
        NandRegWrite(NAND_REG_CONTROL, NandRegRead(NAND_REG_CONTROL) & ~NAND_CTRL_SPARE);
    }
}

/* --- geometry: from the current record's words and holders, never from the register --- */

u32 NandPageSize(void)
{
    u32 size = NandParam(NAND_P_CTRL_PAGE_SIZE) != 0 ? 2048u : 512u;
    return NandMode(NAND_M_WIDE_BUS) != 0 ? size * 2 : size;
}

u32 NandBlockSize(void)
{
    return NandPageSize() * (NandParam(NAND_P_CTRL_PAGES_PER_BLOCK) != 0 ? 64u : 32u);
}

u32 NandBlockCount(void)
{
    return NandParam(NAND_P_BLOCK_COUNT);
}

u32 NandSpareSize(void)
{
    /* With ECC on, the rest of the spare area holds the controller's code. */
    u32 bigPages = NandParam(NAND_P_CTRL_PAGE_SIZE) != 0;
    u32 size;
    if (NandMode(NAND_M_SPARE_HOLDER) == 0) return 0;
    if (NandMode(NAND_M_ECC_HOLDER) != 0) {
        size = bigPages ? 40u : 8u;
    } else {
        size = bigPages ? 64u : 16u;
    }
    return NandMode(NAND_M_WIDE_BUS) != 0 ? size * 2 : size;
}

/* --- READ ID, RESET and the probe --- */

i32 NandReadId(u32* id)
{
    u32 command = NandParam(NAND_P_READ_ID_CMD) | NAND_CMDW_TYPE_READ_ID << NAND_CMDW_TYPE_SHIFT |
                  1u << NAND_CMDW_ADDR_CYCLES_SHIFT;
    if (NandIssueCommand(command, 0, 0) != NAND_OK) return NAND_TIMEOUT;
    if (NandWaitStatus(NAND_STATUS_READ_REQUEST) != NAND_WAIT_OK) return NAND_TIMEOUT;
    *id = NandRegRead(NAND_REG_DATA);
    (void)NandRegRead(NAND_REG_DATA); /* the FIFO holds a second word of ID bytes */
    if (NandWaitStatus(NAND_STATUS_DONE_CS0) != NAND_WAIT_OK) return NAND_TIMEOUT;
    return NAND_OK;
}

i32 NandReset(void)
{
    u32 command = NandParam(NAND_P_RESET_CMD) | NAND_CMDW_TYPE_RESET << NAND_CMDW_TYPE_SHIFT;
    if (NandIssueCommand(command, 0, 0) != NAND_OK) return NAND_TIMEOUT;
    if (NandWaitStatus(NAND_STATUS_READY) != NAND_WAIT_OK) return NAND_TIMEOUT;
    return NAND_OK;
}

i32 NandProbe(i32 configure)
{
    u32 id = 0;
    u32 index;
    NandRegs = MapPhysWindow(NAND_PHYS_BASE);
    if (NandRegs == 0) return NAND_PROBE_FAILED;

    if (configure) {
        NandChipIndex = 0;
        NandSetTimings();
        NandSetControl();
        (void)NandReset(); /* the READ ID that follows decides */
    }
    if (NandReadId(&id) != NAND_OK) return NAND_PROBE_FAILED;

    switch (id & NAND_ID_MASK) {
    case NAND_ID_RECORD1:
        DrivePinHigh(NAND_PIN_SMALL_PAGE_CHIPS);
        index = 1;
        break;
    case NAND_ID_RECORD2:
        DrivePinHigh(NAND_PIN_SMALL_PAGE_CHIPS);
        index = 2;
        break;
    case NAND_ID_RECORD3:
        index = 3;
        break;
    case NAND_ID_RECORD4:
        NandClockMhz = NAND_CLOCK_FAST_MHZ;
        index = 4;
        break;
    case NAND_ID_RECORD5:
        index = 5;
        break;
    default:
        return NAND_PROBE_FAILED;
    }
    NandChipIndex = index;

    if (configure) {
        NandSetTimings();
        NandSetControl();
    }
    return NAND_OK;
}
