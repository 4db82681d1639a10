@ The vector table every test program links: a program defines the handlers it needs; a missing one
@ is a zero entry, which the core reports as a fault when the exception is taken.
        .syntax unified
        .thumb
        .weak systick_handler, irq0_handler, irq1_handler, irq2_handler, irq3_handler
        .section .vectors, "a", %progbits
        .word _estack
        .word reset
        .fill 13, 4, 0                          @ NMI .. PendSV
        .word systick_handler                   @ 15
        .word irq0_handler, irq1_handler, irq2_handler, irq3_handler
