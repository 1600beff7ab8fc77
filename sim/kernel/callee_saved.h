// The registers the System V x64 convention has a callee preserve, besides
// rbp (which each routine pushes first, for its frame): pushed on entry, and
// popped in reverse before the return, by the kernel's hand-written routines
// that run other code in between (the fibers' context switch, fibers.cpp,
// whose new fibers' first frame follows this order; the crossing into the
// image, image/crossing.cpp). Text for their asm blocks.

#ifndef KVR_SIM_KERNEL_CALLEE_SAVED_H
#define KVR_SIM_KERNEL_CALLEE_SAVED_H

#define KVRSIM_PUSH_CALLEE_SAVED                                                                   \
    "    pushq %rbx\n"                                                                             \
    "    pushq %r12\n"                                                                             \
    "    pushq %r13\n"                                                                             \
    "    pushq %r14\n"                                                                             \
    "    pushq %r15\n"

#define KVRSIM_POP_CALLEE_SAVED                                                                    \
    "    popq %r15\n"                                                                              \
    "    popq %r14\n"                                                                              \
    "    popq %r13\n"                                                                              \
    "    popq %r12\n"                                                                              \
    "    popq %rbx\n"

#endif // KVR_SIM_KERNEL_CALLEE_SAVED_H
