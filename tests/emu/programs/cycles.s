@ Straight-line code of known Cortex-M4 timing, then a loop over three flash lines for the wait states.
        .include "common.inc"

        function reset
        movs r0, #1                             @ 1
        movs r1, #2                             @ 1
        adds r2, r0, r1                         @ 1
        muls r2, r1                             @ 1
        ldr r5, =data                           @ 2
        ldr r3, [r5]                            @ 1, pipelined behind the load before
        ldr r4, [r5, #4]                        @ 1
        push {r0-r3}                            @ 1 + 4
        pop {r0-r3}                             @ 1 + 4
        b 1f                                    @ 1 + refill 2
        nop
1:      bkpt #0                                 @ 1

        .balign 16
        .global loop
        .type loop, %function
loop:
        movs r0, #100
2:      .rept 12
        adds r1, #1
        .endr
        subs r0, #1
        bne 2b
        bkpt #0

@ The same loop with FLASH_ACR written half-way: wait states (5, nothing to hide them) or none.
        function switch_to_wait_states
        movs r7, #5
        b 5f
        function switch_to_no_wait_states
        movs r7, #0
5:      movs r0, #100
3:      .rept 12
        adds r1, #1
        .endr
        cmp r0, #50
        bne 4f
        ldr r6, =0x40023C00
        str r7, [r6]
4:      subs r0, #1
        bne 3b
        bkpt #0
        .ltorg

        .bss
data:   .space 8
