@ The task switch of the image (platform/stm32f413/task.cpp): thread mode moves to the process stack;
@ an interrupt then stacks its frame there and its handler runs on the main stack.
        .include "common.inc"

        function reset
        store_word ISER0, 1
        ldr r2, =task_stack_top
        msr psp, r2
        movs r3, #2
        msr control, r3
        isb
        ldr r4, =seen
        mrs r5, msp
        str r5, [r4]
        mov r5, sp
        str r5, [r4, #4]
        pend 1
        mov r5, sp
        str r5, [r4, #24]
        mrs r5, control
        str r5, [r4, #28]
        bkpt #0

        function irq0_handler
        ldr r0, =seen
        mov r1, sp
        str r1, [r0, #8]
        mrs r1, msp
        str r1, [r0, #12]
        mrs r1, psp
        str r1, [r0, #16]
        str lr, [r0, #20]
        bx lr
        .ltorg

        .bss
        .global seen, task_stack_top
        @ msp and sp in thread; sp, msp, psp, lr in the handler; sp and control after the return
seen:   .space 32
        .balign 8
        .space 256
task_stack_top:
