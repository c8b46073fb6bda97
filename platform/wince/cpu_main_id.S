/* The processor's main ID register (coprocessor 15, register c0, opcode 0), for the GNU assembler
   of the module build. u32 CeReadMainIdRegister(void), result in r0.
   The read is privileged: the launcher runs with the kernel's privilege on the module. */

    .text
    .arm
    .align  2
    .global CeReadMainIdRegister

CeReadMainIdRegister:
    mrc     p15, 0, r0, c0, c0, 0
    bx      lr                      /* returns to ARM or Thumb callers alike */
