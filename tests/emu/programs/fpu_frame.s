@ Interrupts taken while the thread has FP context: the extended frame, and S0-S15 and FPSCR back after
@ the handler clobbered them. A first one whose handler runs no FP instruction leaves the FP state
@ unsaved (lazy stacking) and costs what a basic frame costs.
        .include "common.inc"

        function reset
        store_word 0xE000ED88, 0x00F00000       @ CPACR: CP10 and CP11 full access
        store_word ISER0, 3
        .irp i, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15
        ldr r0, =(0x3F800000 + \i)
        vmov s\i, r0
        .endr
        ldr r0, =0x00C00000                     @ round towards zero
        vmsr fpscr, r0
        pend 2
        pend 1
        ldr r0, =restored
        vstmia r0!, {s0-s15}
        vmrs r1, fpscr
        str r1, [r0], #4
        mrs r1, control
        str r1, [r0]
        bkpt #0

        function irq1_handler
        bx lr

        function irq0_handler
        ldr r0, =seen
        mrs r1, control
        str r1, [r0]
        mov r1, sp
        str r1, [r0, #4]
        str lr, [r0, #8]
        movs r2, #0
        b 1f                                    @ the first FP instruction in a block after the entry's
1:      .irp i, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15
        vmov s\i, r2
        .endr
        vmsr fpscr, r2
        mrs r1, control
        str r1, [r0, #12]
        bx lr
        .ltorg

        .bss
        .global seen, restored
seen:   .space 16                               @ control at entry, sp, lr, control after FP use
restored: .space 72                             @ s0-s15, fpscr, control after the return
