/*
 * The processor's registers. Only the product number is needed: it tells the NOR module (17) from
 * the NAND modules and picks the pin layout.
 */
#include "hw/cpu_regs.h"

#define CPU_PRODUCT_SHIFT 4
#define CPU_PRODUCT_MASK 0x3Fu

u32 ReadCpuProductNumber(void)
{
    return (OsReadCpuMainId() >> CPU_PRODUCT_SHIFT) & CPU_PRODUCT_MASK;
}
