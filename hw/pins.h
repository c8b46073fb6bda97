/* Pin configuration: a GPIO pin's function, direction and level, on the processor's three register
   layouts (chosen by the CPU product number). */
#ifndef KALVORI_HW_PINS_H
#define KALVORI_HW_PINS_H

#include "platform/platform.h"

void PinsOpen(void);
void PinsClose(void);
void SetPinDirection(u32 pin, i32 output);
void SetPinFunction(u32 pin, u32 function, i32 output);
void SetPinLevel(u32 pin, i32 level);
/* Makes the pin a plain GPIO output driven high; opens and closes the windows around its work. */
void DrivePinHigh(u32 pin);

#endif /* KALVORI_HW_PINS_H */
