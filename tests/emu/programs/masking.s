@ PRIMASK holds back every interrupt; BASEPRI those of its priority and below.
        .include "common.inc"

        function reset
        store_word IPR0, 0x00002040             @ IRQ0 0x40, IRQ1 0x20
        store_word ISER0, 3
        cpsid i
        pend 1
        log_value 0xA0
        cpsie i
        isb
        movs r3, #0x40
        msr basepri, r3
        pend 1
        log_value 0xB0
        pend 2
        log_value 0xB1
        movs r3, #0
        msr basepri, r3
        isb
        bkpt #0

        .macro record number
        log_value \number
        bx lr
        .endm

        function irq0_handler
        record 0
        function irq1_handler
        record 1
        .ltorg
