@ Ways a run ends with a report: a breakpoint (entry `reset`), an undefined instruction (entry
@ `undefined_here`), an interrupt without a handler (entry `unhandled`), and a load from an address
@ nothing maps inside an interrupt handler (entry `continue_here`).
        .include "common.inc"

        function reset
        bl stop_here
        .global continue_here
continue_here:
        store_word ISER0, 1
        pend 1
        .global after_pend
after_pend:
        b after_pend

        function stop_here
        bkpt #7
        bx lr

        function undefined_here
        udf #3

        @ Names as a C++ compiler gives them: a free function, one in a file's unnamed namespace, a member.
        function _Z4freev
        bx lr

        function _ZN12_GLOBAL__N_17unnamedEt
        bx lr

        function _ZN4Node4passEv
        bx lr

        function _ZNK4Node6healthEv
        bx lr

        function unhandled
        store_word ISER0, 8
        pend 8                                  @ IRQ 3 has no vector
1:      b 1b

        function irq0_handler
        ldr r1, =0x30000000
        nop
        .global bad_load
bad_load:
        ldr r0, [r1]
        bx lr
        .ltorg
