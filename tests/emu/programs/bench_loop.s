@ The speed benchmark's load: a loop of ALU work, loads, stores, a call and branches, for ever.
        .include "common.inc"

        function reset
        ldr r4, =buffer
1:      movs r0, #64
2:      ldr r1, [r4]
        adds r1, r0
        eor r2, r1, r0, lsl #3
        str r2, [r4, #4]
        mul r3, r1, r2
        add r4, r4, #0
        bl leaf
        subs r0, #1
        bne 2b
        b 1b

        function leaf
        add r3, r3, r3, ror #7
        bx lr
        .ltorg

        .bss
buffer: .space 16
