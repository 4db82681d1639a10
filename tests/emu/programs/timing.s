@ Instruction timings that depend on the neighbours or the operands, each from its own entry to a BKPT.
        .include "common.inc"

        function reset
        bkpt #0

        @ Each load pipelines behind the one before unless that one wrote its address register; a base
        @ written back is ready at once.
        function load_after_load
        ldr r0, =data                           @ 2
        ldr r1, [r0]                            @ 1 + 1: r0 is still being loaded
        ldr r2, [r0, #4]                        @ 1
        ldr r3, [r0], #4                        @ 1
        ldr r4, [r0]                            @ 1
        bkpt #0                                 @ 1

        @ PUSH forms the new SP in its address phase: a load from the stack right after it waits for
        @ nothing, as after any base written back.
        function load_after_push
        ldr r0, =data                           @ 2
        push {r0, r1}                           @ 1 + 2
        ldr r2, [sp, #4]                        @ 2
        add sp, #8                              @ 1
        bkpt #0                                 @ 1

        @ An ALU result as base or index costs the load one cycle more.
        function load_after_alu
        ldr r0, =data                           @ 2
        adds r0, #4                             @ 1
        ldr r1, [r0]                            @ 2 + 1
        movs r2, #0                             @ 1
        ldr r3, [r0, r2]                        @ 2 + 1
        adds r4, #1                             @ 1
        ldr r5, [r0]                            @ 2
        bkpt #0                                 @ 1

        @ STR with an immediate offset takes 1, and no load pipelines behind it.
        function store_immediate
        ldr r0, =data                           @ 2
        movs r2, #4                             @ 1
        str r1, [r0]                            @ 1
        str r1, [r0, #4]                        @ 1
        ldr r3, [r0]                            @ 2
        str r1, [r0, r2]                        @ 1, behind the load
        movs r2, #0                             @ 1
        str r1, [r0, r2]                        @ 2
        bkpt #0                                 @ 1

        function record_quotient
        ldr r3, =quotient                       @ 2
        str r2, [r3]                            @ 1
        bkpt #0                                 @ 1

        @ UDIV/SDIV: 2 + the quotient's significant bits at 3.2 a cycle, rounded up. The result goes to
        @ `quotients`.
        .macro division name, op, dividend, divisor
        function \name
        movw r0, #:lower16:\dividend            @ 1
        movt r0, #:upper16:\dividend            @ 1
        movw r1, #:lower16:\divisor             @ 1
        movt r1, #:upper16:\divisor             @ 1
        \op r2, r0, r1
        b record_quotient                       @ 1 + 2
        .endm
        division udiv_below, udiv, 5, 7         @ 2: no quotient bit
        division udiv_by_zero, udiv, 5, 0       @ 2, quotient 0
        division udiv_small, udiv, 100, 7       @ 4: 5 bits
        division udiv_full, udiv, 0xFFFFFFFF, 1 @ 12: 32 bits
        division sdiv_negative, sdiv, -100, 7   @ 4: by magnitude
        division sdiv_min, sdiv, 0x80000000, -1 @ 12, quotient 0x80000000
        division sdiv_by_zero, sdiv, -5, 0      @ 2

        @ A division whose quotient the rest of its block overwrites.
        function udiv_overwritten
        ldr r3, =quotient                       @ 2
        mvn r0, #0                              @ 1
        movs r1, #1                             @ 1
        udiv r2, r0, r1                         @ 12
        str r2, [r3]                            @ 1
        movs r2, #0                             @ 1
        bkpt #0                                 @ 1

        @ The same division costs what its operands of each run decide: the quotients go to `quotients`.
        function udiv_loop
        mvn r0, #0                              @ 1
        movs r1, #1                             @ 1
        ldr r4, =quotients                      @ 2
udiv_again:
        udiv r2, r0, r1                         @ 12, then 7 (16 bits)
        str r2, [r4], #4                        @ 2
        lsrs r0, r0, #16                        @ 1
        bne udiv_again                          @ 1 (+ 2 when taken)
udiv_done:
        bkpt #0                                 @ 1

        .ltorg

        .bss
        .balign 4
data:   .space 16
        .global quotient, quotients
quotient: .word 0
quotients: .space 8
