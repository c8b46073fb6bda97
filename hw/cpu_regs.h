/* The processor's registers. */
#ifndef KALVORI_HW_CPU_REGS_H
#define KALVORI_HW_CPU_REGS_H

#include "platform/platform.h"

/* The processor's product number 0..63 (bits 9..4 of the main ID register); 17 marks the NOR module. */
u32 ReadCpuProductNumber(void);

#endif /* KALVORI_HW_CPU_REGS_H */
