/* The board program's start: QEMU loads the program into the board's RAM and enters _start in a
   privileged mode with the MMU off. Stacks for the abort and undefined modes, the exception
   vectors, a cleared .bss, then BoardMain, which never returns (it ends the run through
   semihosting). ARMv5TE code; the only later instructions are the coprocessor accesses to VBAR,
   which the board's core has. */

    .section .text.start, "ax"
    .arm
    .align  2
    .global _start
_start:
    msr     cpsr_c, #0xD7              /* abort mode, interrupts off */
    ldr     sp, =BoardExceptionStackTop
    msr     cpsr_c, #0xDB              /* undefined mode */
    ldr     sp, =BoardExceptionStackTop
    msr     cpsr_c, #0xD3              /* supervisor mode, where the program runs */
    ldr     sp, =BoardStackTop

    ldr     r0, =BoardVectors
    mcr     p15, 0, r0, c12, c0, 0     /* VBAR */

    ldr     r0, =__bss_start
    ldr     r1, =__bss_end
    mov     r2, #0
1:  cmp     r0, r1
    strlo   r2, [r0], #4
    blo     1b

    bl      BoardMain
2:  b       2b

/* Every exception the program does not expect ends the run with a report: BoardFault(kind, lr). */
    .align  5
BoardVectors:
    b       .                          /* reset */
    b       BoardUndefined
    b       BoardSupervisorCall        /* semihosting calls never get here: QEMU serves them */
    b       BoardPrefetchAbort
    b       BoardDataAbort
    b       .                          /* not used */
    b       BoardInterrupt
    b       BoardFastInterrupt

BoardUndefined:
    mov     r0, #1
    b       BoardReportFault
BoardSupervisorCall:
    mov     r0, #2
    b       BoardReportFault
BoardPrefetchAbort:
    mov     r0, #3
    b       BoardReportFault
BoardDataAbort:
    mov     r0, #4
    b       BoardReportFault
BoardInterrupt:
    mov     r0, #6
    b       BoardReportFault
BoardFastInterrupt:
    mov     r0, #7
BoardReportFault:
    mov     r1, lr
    ldr     sp, =BoardExceptionStackTop
    bl      BoardFault
3:  b       3b
