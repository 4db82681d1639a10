@ A thread that sleeps in WFI until the SysTick handler has counted five ticks of 1000 cycles.
        .include "common.inc"

        function reset
        store_word 0xE000E014, 999              @ LOAD
        store_word 0xE000E018, 0                @ VAL
        store_word 0xE000E010, 7                @ CTRL: ENABLE, TICKINT, processor clock
        ldr r4, =ticks
1:      wfi
        ldr r5, [r4]
        cmp r5, #5
        blo 1b
        bkpt #0

        function systick_handler
        ldr r0, =ticks
        ldr r1, [r0]
        adds r1, #1
        str r1, [r0]
        bx lr
        .ltorg

        .bss
        .global ticks
ticks:  .word 0
