/*
 * Pin configuration: selects a GPIO pin's function, sets its direction and drives its level.
 *
 * Three register layouts, chosen by the CPU product number:
 * - plain (every product but 2 and 8): direction registers and 2-bit alternate-function fields in
 *   the GPIO block;
 * - pin-mux (products 2 and 8): one pin-mux register per pin in the page at 0x40E10000, and
 *   separate direction-set and direction-clear registers in the GPIO block. The two products
 *   differ only in where the pin-mux registers lie.
 * On the pin-mux layouts a pin of 128 or more has its own pin-mux register but the direction and
 * level bits of pin - 128 (the fold).
 *
 * The windows are mapped only around the work: DrivePinHigh opens and closes them, the setters open
 * them when needed and leave them open.
 */
#include "hw/pins.h"

#include "hw/cpu_regs.h"
#include "hw/devmem.h"
#include "hw/physwin.h"

/* --- registers --- */

#define PINS_GPIO_PHYSICAL 0x40E00000u
#define PINS_MUX_PHYSICAL_PRODUCT2 0x40E10124u
#define PINS_MUX_PHYSICAL_PRODUCT8 0x40E100B4u /* 0x40E10000 + MuxRegOffsets[0] */

#define PINS_PRODUCT_MUX2 2u
#define PINS_PRODUCT_MUX8 8u

/* GPIO block, bank k at + 4k; bank 3 lies PINS_BANK3_SKIP further than the regular step. */
#define PINS_REG_DIRECTION 0x0Cu /* plain layout; bit set = output */
#define PINS_REG_LEVEL_SET 0x18u
#define PINS_REG_LEVEL_CLEAR 0x24u
#define PINS_REG_FUNCTION 0x54u       /* plain layout; 2 bits per pin, 16 pins a register */
#define PINS_REG_DIRECTION_SET 0x400u /* pin-mux layouts; no bank-3 skip */
#define PINS_REG_DIRECTION_CLEAR 0x420u
#define PINS_BANK3_SKIP 0xF4u
#define PINS_FIRST_BANK3_PIN 96u

#define PINS_FOLD 128u /* pin-mux layouts: pins from here use the GPIO bits of pin - 128 */
#define PINS_MUX_FUNCTION_MASK 0x7u
#define PINS_FUNCTION_FIELD_MASK 0x3u

#define PINS_MUX_OFFSET_COUNT 140
#define PINS_MUX_REBUILT_COUNT 139 /* pins 0 to 138 of product 8 */
#define PINS_MUX_INDEX_COUNT 160

/* --- tables --- */

/* clang-format off */

/* Product 8: the byte offset of pin p's pin-mux register from 0x40E10000; entry 139 is no pin. */
static const u16 MuxRegOffsets[] = {
    /* pins 0 to 2 */
    0x0B4, 0x0B8, 0x0BC,
    /* pins 3 to 26 */
    0x27C, 0x280, 0x284, 0x288, 0x28C, 0x290, 0x294, 0x298, 0x29C, 0x2A0, 0x2A4, 0x2A8, 0x2AC, 0x2B0, 0x2B4,
    0x2B8, 0x2BC, 0x2C0, 0x2C4, 0x2C8, 0x2CC, 0x2D0, 0x2D4, 0x2D8,
    /* pins 27 to 98 */
    0x400, 0x404, 0x408, 0x40C, 0x410, 0x414, 0x418, 0x41C, 0x420, 0x424, 0x428, 0x42C, 0x430, 0x434, 0x438,
    0x43C, 0x440, 0x444, 0x448, 0x44C, 0x450, 0x454, 0x458, 0x45C, 0x460, 0x464, 0x468, 0x46C, 0x470, 0x474,
    0x478, 0x47C, 0x480, 0x484, 0x488, 0x48C, 0x490, 0x494, 0x498, 0x49C, 0x4A0, 0x4A4, 0x4A8, 0x4AC, 0x4B0,
    0x4B4, 0x4B8, 0x4BC, 0x4C0, 0x4C4, 0x4C8, 0x4CC, 0x4D0, 0x4D4, 0x4D8, 0x4DC, 0x4E0, 0x4E4, 0x4E8, 0x4EC,
    0x4F0, 0x4F4, 0x4F8, 0x4FC, 0x500, 0x504, 0x508, 0x50C, 0x510, 0x514, 0x518, 0x51C,
    /* pins 99 to 129 */
    0x600, 0x604, 0x608, 0x60C, 0x610, 0x614, 0x618, 0x61C, 0x620, 0x624, 0x628, 0x62C, 0x630, 0x634, 0x638,
    0x63C, 0x640, 0x644, 0x648, 0x64C, 0x650, 0x654, 0x658, 0x65C, 0x660, 0x664, 0x668, 0x66C, 0x670, 0x674,
    0x678,
    /* pins 130 to 134 */
    0x2DC, 0x2E0, 0x2E4, 0x2E8, 0x2EC,
    /* pins 135 to 138 */
    0x52C, 0x530, 0x534, 0x538,
    /* entry 139: no pin */
    0x000,};

OS_COMPILE_CHECK(PinsCheckMuxRegOffsets, sizeof(MuxRegOffsets) == PINS_MUX_OFFSET_COUNT * sizeof(u16));

/* The word index of pin p's pin-mux register from MuxWindow. Initialised for product 2 (window at
   0x40E10124); PinsOpen rebuilds entries 0 to 138 for product 8 from MuxRegOffsets. */
DEVICE_STATE static u16 PinMuxIndex[] = {
    /* pins 0 to 4 */
    0, 1, 2, 3, 4,
    /* pins 5 to 9 */
    90, 91, 92, 93, 94,
    /* pin 10 */
    205,
    /* pins 11 to 26 */
    95, 96, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110,
    /* pins 27 to 48 */
    183, 184, 185, 186, 187, 188, 189, 190, 191, 192, 193, 194, 195, 196, 197, 198, 199, 200, 201, 202, 203,
    204,
    /* pins 49 to 62 */
    206, 207, 208, 209, 210, 211, 212, 213, 214, 215, 216, 217, 218, 219,
    /* pins 63 to 73 */
    228, 229, 230, 231, 232, 233, 234, 235, 236, 237, 238,
    /* pins 74 to 98 */
    243, 244, 245, 246, 247, 248, 249, 250, 251, 252, 253, 254, 255, 256, 257, 258, 259, 260, 261, 262, 263,
    264, 265, 266, 267,
    /* pins 99 to 133 */
    311, 312, 313, 314, 315, 316, 317, 318, 319, 320, 321, 322, 323, 324, 325, 326, 327, 328, 329, 330, 331,
    332, 333, 334, 335, 336, 337, 338, 339, 340, 341, 342, 343, 344, 345,
    /* pins 134 to 141 */
    220, 221, 222, 223, 224, 225, 226, 227,
    /* pins 142 to 145 */
    239, 240, 241, 242,
    /* entries 146 to 159: not used */
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,};

/* clang-format on */

OS_COMPILE_CHECK(PinsCheckPinMuxIndex, sizeof(PinMuxIndex) == PINS_MUX_INDEX_COUNT * sizeof(u16));

/* --- module state --- */

DEVICE_STATE static i32 PinsMapped = 0;
DEVICE_STATE static u32 PinCpuProduct = 0;
DEVICE_STATE static volatile u32* GpioWindow = 0;
DEVICE_STATE static volatile u32* MuxWindow = 0; /* null on the plain layout */

static i32 PinsHaveMux(void)
{
    return PinCpuProduct == PINS_PRODUCT_MUX2 || PinCpuProduct == PINS_PRODUCT_MUX8;
}

/* The pin whose direction and level bits a pin uses: pins from 128 fold onto pin - 128. */
static u32 PinsFold(u32 pin)
{
    return pin >= PINS_FOLD ? pin - PINS_FOLD : pin;
}

/* Byte offset of a bank register for a (folded) pin: bank 3 lies PINS_BANK3_SKIP further. */
static u32 PinsBankOffset(u32 pin)
{
    u32 offset = 4u * (pin / 32u);
    if (pin >= PINS_FIRST_BANK3_PIN) offset += PINS_BANK3_SKIP;
    return offset;
}

static u32 PinsBit(u32 pin)
{
    return 1u << (pin % 32u);
}

/* --- open and close --- */

void PinsOpen(void)
{
    u32 p;

    if (PinsMapped) return;
    PinCpuProduct = ReadCpuProductNumber();
    GpioWindow = MapPhysWindow(PINS_GPIO_PHYSICAL);
    MuxWindow = 0;
    if (PinCpuProduct == PINS_PRODUCT_MUX2) MuxWindow = MapPhysWindow(PINS_MUX_PHYSICAL_PRODUCT2);
    if (PinCpuProduct == PINS_PRODUCT_MUX8) {
        MuxWindow = MapPhysWindow(PINS_MUX_PHYSICAL_PRODUCT8);
        /* The window starts at MuxRegOffsets[0], so each index counts words from there. */
        for (p = 0; p < PINS_MUX_REBUILT_COUNT; p++) {
            PinMuxIndex[p] = (u16)((MuxRegOffsets[p] - MuxRegOffsets[0]) / 4u);
        }
    }
    PinsMapped = 1;
}

void PinsClose(void)
{
    if (!PinsMapped) return;
    if (GpioWindow != 0) UnmapPhysWindow(GpioWindow);
    if (MuxWindow != 0) UnmapPhysWindow(MuxWindow);
    PinsMapped = 0;
    GpioWindow = 0;
    MuxWindow = 0;
}

/* --- setters --- */

/* A setter whose window could not be mapped does nothing: no access goes through a null window. */

void SetPinDirection(u32 pin, i32 output)
{
    volatile u32* reg;
    u32 p;

    if (!PinsMapped) PinsOpen();
    if (GpioWindow == 0) return;
    if (PinsHaveMux()) {
        p = PinsFold(pin);
        reg =
            DevReg(GpioWindow, (output ? PINS_REG_DIRECTION_SET : PINS_REG_DIRECTION_CLEAR) + 4u * (p / 32u));
        DevWrite32(reg, DevRead32(reg) | PinsBit(p));
        return;
    }
    reg = DevReg(GpioWindow, PINS_REG_DIRECTION + PinsBankOffset(pin));
    if (output) {
        DevWrite32(reg, DevRead32(reg) | PinsBit(pin));
    } else {
        DevWrite32(reg, DevRead32(reg) & ~PinsBit(pin));
    }
}

void SetPinFunction(u32 pin, u32 function, i32 output)
{
    volatile u32* reg;
    u32 shift;

    if (!PinsMapped) PinsOpen();
    if (PinsHaveMux()) {
        if (MuxWindow == 0) return;
        reg = DevReg(MuxWindow, 4u * PinMuxIndex[pin]);
        /* The value goes in unmasked, as the callers pass 0 to 7. */
        DevWrite32(reg, (DevRead32(reg) & ~PINS_MUX_FUNCTION_MASK) | function);
    } else {
        if (GpioWindow == 0) return;
        reg = DevReg(GpioWindow, PINS_REG_FUNCTION + 4u * (pin / 16u));
        shift = 2u * (pin % 16u);
        DevWrite32(reg, (DevRead32(reg) & ~(PINS_FUNCTION_FIELD_MASK << shift)) |
                            ((function & PINS_FUNCTION_FIELD_MASK) << shift));
    }
    /* The function changes before the direction. */
    SetPinDirection(pin, output);
}

void SetPinLevel(u32 pin, i32 level)
{
    u32 p;

    if (!PinsMapped) PinsOpen();
    if (GpioWindow == 0) return;
    p = PinsFold(pin);
    DevWrite32(DevReg(GpioWindow, (level ? PINS_REG_LEVEL_SET : PINS_REG_LEVEL_CLEAR) + PinsBankOffset(p)),
               PinsBit(p));
}

void DrivePinHigh(u32 pin)
{
    PinsOpen();
    /* The output is enabled before the level is driven; the pin keeps both after the close. */
    SetPinFunction(pin, 0, 1);
    SetPinLevel(pin, 1);
    PinsClose();
}
