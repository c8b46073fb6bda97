/* The NOR flash driver: two 16-bit devices side by side on a 32-bit bus at physical 0. */
#ifndef KALVORI_FLASH_NOR_NOR_H
#define KALVORI_FLASH_NOR_NOR_H

#include "platform/platform.h"

i32 NorProbe(void);
u32 NorReadWord(u32 offset);
i32 NorRead(u32* buffer, u32 offset, u32 length);
i32 NorWriteWord(u32 offset, u32 value);
i32 NorWrite(const u32* buffer, u32 offset, u32 length);
u32 NorBlockSize(u32 offset);
i32 NorEraseRange(u32 offset, u32 length);

#endif /* KALVORI_FLASH_NOR_NOR_H */
