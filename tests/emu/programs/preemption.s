@ A more urgent interrupt preempts a running handler; one of equal priority waits for it to return.
        .include "common.inc"

        function reset
        store_word IPR0, 0x00804080             @ IRQ0 0x80, IRQ1 0x40, IRQ2 0x80
        store_word ISER0, 7
        pend 1
        bkpt #0

        function irq0_handler
        push {lr}
        log_value 0x00
        pend 4                                  @ IRQ2, equal: must wait
        log_value 0x0E
        pend 2                                  @ IRQ1, more urgent: runs now
        log_value 0x0F
        pop {pc}

        .macro record number
        log_value \number
        mov r3, lr
        log_reg r3
        bx lr
        .endm

        function irq1_handler
        record 1
        function irq2_handler
        record 2
        .ltorg
