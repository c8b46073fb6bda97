/*
 * The NAND controller driver's private part: the controller's register block, the chip records and
 * the driver state shared by the controller primitives (nand.cpp) and the transfers (nand_xfer.cpp).
 */
#ifndef KALVORI_FLASH_NAND_NAND_INTERNAL_H
#define KALVORI_FLASH_NAND_NAND_INTERNAL_H

#include "platform/platform.h"

/* --- register block --- */

#define NAND_PHYS_BASE 0x43100000u

#define NAND_REG_CONTROL 0x00u
#define NAND_REG_TIMING0 0x04u
#define NAND_REG_TIMING1 0x0Cu
#define NAND_REG_STATUS 0x14u  /* a bit written as 1 is cleared */
#define NAND_REG_DATA 0x40u    /* data FIFO: page data, then spare bytes */
#define NAND_REG_COMMAND 0x48u /* command word, address word 1, address word 2 */

/* Control register */
#define NAND_CTRL_SPARE 0x80000000u      /* spare-area transfer on */
#define NAND_CTRL_ECC 0x40000000u        /* hardware ECC on */
#define NAND_CTRL_RUN 0x10000000u        /* the controller requests the command words */
#define NAND_CTRL_WIDE_BUS 0x08000000u   /* 16-bit data bus */
#define NAND_CTRL_ALWAYS 0x00080000u     /* bit 19: always set */
#define NAND_CTRL_IRQ_MASKS 0x00000FFFu  /* one mask per status bit: no interrupts */

/* Status register */
#define NAND_STATUS_CMD_REQUEST 0x001u
#define NAND_STATUS_READ_REQUEST 0x002u
#define NAND_STATUS_WRITE_REQUEST 0x004u
#define NAND_STATUS_ECC_ERROR 0x010u
#define NAND_STATUS_BAD_BLOCK_CS1 0x020u
#define NAND_STATUS_BAD_BLOCK_CS0 0x040u
#define NAND_STATUS_DONE_CS1 0x080u
#define NAND_STATUS_DONE_CS0 0x100u
#define NAND_STATUS_READY 0x800u
#define NAND_STATUS_OUTCOME 0x1F0u /* ECC error, bad block or command done, either chip select */
#define NAND_STATUS_CLEAR_ALL 0xFFFFFFFFu

/* Command word */
#define NAND_CMDW_ADDR_CYCLES_SHIFT 16
#define NAND_CMDW_TWO_COMMANDS 0x00080000u
#define NAND_CMDW_TYPE_SHIFT 21
#define NAND_CMDW_TYPE_READ 0u
#define NAND_CMDW_TYPE_PROGRAM 1u
#define NAND_CMDW_TYPE_ERASE 2u
#define NAND_CMDW_TYPE_READ_ID 3u
#define NAND_CMDW_TYPE_RESET 5u
#define NAND_CMDW_CS_SHIFT 24
#define NAND_CMDW_CS1 0x01000000u
#define NAND_CMDW_AUTO_STATUS 0x02000000u /* the controller reads the device status itself */
#define NAND_CMDW_SECOND_BYTE 0x0000FF00u /* second command byte of a pair */

/* The status wait gives up after this many reads beyond the first two. */
#define NAND_WAIT_BOUND 1400000

/* Value written into the FIFO for bytes that must stay as they are (programming only clears bits). */
#define NAND_FILL_WORD 0xFFFFFFFFu

/* --- chip records --- */

#define NAND_RECORD_COUNT 6

/* Words of a NandChipParams record. */
enum NandParamWord {
    NAND_P_TCH = 0,
    NAND_P_TCS,
    NAND_P_TWH,
    NAND_P_TWP,
    NAND_P_TRH,
    NAND_P_TRP,
    NAND_P_TR,
    NAND_P_TWHR,
    NAND_P_TAR,
    NAND_P_CTRL_OPTIONS,
    NAND_P_CTRL_ROW_START,
    NAND_P_CTRL_PAGE_SIZE,
    NAND_P_CTRL_ID_COUNT,
    NAND_P_CTRL_PAGES_PER_BLOCK,
    NAND_P_PAGE_ADDR_CYCLES,
    NAND_P_ERASE_ADDR_CYCLES,
    NAND_P_CTRL_EXTRA,
    NAND_P_READ_CMD,
    NAND_P_SPARE_READ_CMD,
    NAND_P_READ_ID_CMD,
    NAND_P_RESET_CMD,
    NAND_P_PROGRAM_CMD,
    NAND_P_ALT_PROGRAM_CMD,
    NAND_P_ERASE_CMD,
    NAND_P_STATUS_CMD,
    NAND_P_BLOCK_COUNT,
    NAND_PARAM_WORDS
};

/* Words of a NandModeFlags record. */
enum NandModeWord {
    NAND_M_BITS0 = 0,
    NAND_M_ECC_HOLDER,
    NAND_M_SPARE_HOLDER,
    NAND_M_BITS3,
    NAND_M_WIDE_BUS,
    NAND_M_BITS5,
    NAND_M_CS0_SIZE,
    NAND_MODE_WORDS
};

/* Mode words 0..5 are ORed into the control register; Cs0Size is not. */
#define NAND_MODE_CONTROL_WORDS 6

extern const u32 NandChipParams[NAND_RECORD_COUNT][NAND_PARAM_WORDS];
extern u32 NandModeFlags[NAND_RECORD_COUNT][NAND_MODE_WORDS];

/* --- driver state --- */

extern volatile u32* NandRegs; /* null until the probe maps the controller */
extern u32 NandChipIndex;      /* the current record; 0 while no chip is identified */
extern u32 NandClockMhz;       /* controller clock for the timing computation */
extern u32 NandSavedControl;   /* control register kept across a narrow first-block access */

/* The current record's words. */
u32 NandParam(u32 word);
u32 NandMode(u32 word);

/* One 32-bit access of a controller register. */
u32 NandRegRead(u32 offset);
void NandRegWrite(u32 offset, u32 value);
/* Runs of data FIFO accesses, one word per access: a null buffer drops the words read, or writes the
   fill word (the bytes stay as they were). */
void NandFifoRead(u32* buffer, u32 words);
void NandFifoWrite(const u32* buffer, u32 words);

/* The command issue sequence: NAND_OK, or NAND_TIMEOUT when the controller never asked for the command
   words (then nothing was written to the command buffer). */
i32 NandIssueCommand(u32 command, u32 address1, u32 address2);

#endif /* KALVORI_FLASH_NAND_NAND_INTERNAL_H */
