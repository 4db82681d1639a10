@ Accesses the core hands to the bus: peripheral stores of each width, a load back, the unique ID, a
@ half-word programmed into flash, then a peripheral nothing answers for.
        .include "common.inc"

        function reset
        ldr r0, =0x40000010
        movs r1, #0x5A
        strb r1, [r0]
        ldr r1, =0x1234
        strh r1, [r0, #2]
        ldr r1, =0xCAFEF00D
        str r1, [r0, #4]
        ldr r2, [r0, #4]
        ldr r0, =0x1FFF7A10
        ldr r3, [r0]
        ldr r0, =0x08080000
        ldr r1, =0xBEEF
        strh r1, [r0]
        isb                                     @ read back in the next block
        ldrh r4, [r0]
        ldr r0, =result
        stmia r0, {r2-r4}
        ldr r0, =0x40010000
        .global unanswered
unanswered:
        ldr r1, [r0]
        bkpt #0
        .ltorg

        .bss
        .global result
result: .space 12                               @ peripheral word read back, unique ID, flash half-word
