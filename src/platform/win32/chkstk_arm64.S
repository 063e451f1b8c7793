// The stack probe clang calls on arm64 before a frame of more than a page:
// x15 holds the frame size in 16-byte units. Each 4 KiB page the frame will
// cover is touched from the top down, so that the stack's guard page is met
// in order and the system commits the stack page by page. The caller moves
// sp itself; only x16 and x17 may be changed here.
        .text
        .p2align 2
        .globl __chkstk
        .def __chkstk
        .scl 2
        .type 32
        .endef
__chkstk:
        lsl     x16, x15, #4            // bytes still to probe
        mov     x17, sp                 // the address probed last
1:      sub     x17, x17, #4096
        ldr     xzr, [x17]
        subs    x16, x16, #4096
        b.gt    1b
        ret
