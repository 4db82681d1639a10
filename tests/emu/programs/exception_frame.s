@ An interrupt taken in thread mode on the main stack, the stack pointer 4 bytes off 8-byte alignment.
        .include "common.inc"

        function reset
        sub sp, #4
        ldr r0, =thread_sp
        mov r1, sp
        str r1, [r0]
        store_word ISER0, 1
        ldr r0, =0xF8000000                     @ N Z C V Q
        msr APSR_nzcvq, r0
        ldr r4, =ISPR0
        mov r5, #1                              @ leaves the flags alone
        ldr r0, =0xA0A0A0A0
        ldr r1, =0xA1A1A1A1
        ldr r2, =0xA2A2A2A2
        ldr r3, =0xA3A3A3A3
        ldr r12, =0xACACACAC
        ldr lr, =0xAEAEAEAE
        str r5, [r4]
        dsb
        isb
        .global after_pend
after_pend:
        ldr r6, =restored
        stmia r6!, {r0-r3}
        str r12, [r6], #4
        str lr, [r6], #4
        mrs r7, apsr
        str r7, [r6], #4
        mov r7, sp
        str r7, [r6]
        bkpt #0

        function irq0_handler
        ldr r0, =seen
        mov r1, sp
        str r1, [r0]
        str lr, [r0, #4]
        mrs r1, ipsr
        str r1, [r0, #8]
        movs r1, #0                             @ clobber what the frame must restore
        movs r2, #0
        movs r3, #0
        mov r12, r1
        msr APSR_nzcvq, r1
        bx lr
        .ltorg

        .bss
        .global thread_sp, seen, restored
thread_sp: .word 0
seen:   .space 12                               @ sp, lr, ipsr in the handler
restored: .space 32                             @ r0-r3, r12, lr, apsr, sp after the return
