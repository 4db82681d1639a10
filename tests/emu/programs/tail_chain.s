@ Two interrupts pending at once: the more urgent first, the other chained to it on the same frame.
        .include "common.inc"

        function reset
        store_word IPR0, 0x00004080             @ IRQ0 0x80, IRQ1 0x40
        store_word ISER0, 3
        pend 3
        bkpt #0

        .macro record number
        log_value \number
        mov r3, sp
        log_reg r3
        mov r3, lr
        log_reg r3
        bx lr
        .endm

        function irq0_handler
        record 0
        function irq1_handler
        record 1
        .ltorg
