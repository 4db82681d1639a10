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

        .ltorg

        .bss
        .balign 4
data:   .space 16
