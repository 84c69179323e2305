// MShxcrash_async_thread_state_current(callback, context): records the calling thread's
// registers before any compiled code can disturb them. Builds a machine context (the layout of
// the signal frame's mcontext_t, 256 bytes) on its own stack and hands it, with callback and
// context, to MShxcrash_async_thread_state_current_finish. Crash time: no allocation, no locks.
#if defined(__x86_64__)
        .text
        .globl  MShxcrash_async_thread_state_current
        .type   MShxcrash_async_thread_state_current, @function
        .p2align 4
MShxcrash_async_thread_state_current:
        .cfi_startproc
        pushq   %rbp
        .cfi_def_cfa_offset 16
        .cfi_offset %rbp, -16
        movq    %rsp, %rbp
        .cfi_def_cfa_register %rbp
        subq    $256, %rsp
        movq    %r8, 0(%rsp)
        movq    %r9, 8(%rsp)
        movq    %r10, 16(%rsp)
        movq    %r11, 24(%rsp)
        movq    %r12, 32(%rsp)
        movq    %r13, 40(%rsp)
        movq    %r14, 48(%rsp)
        movq    %r15, 56(%rsp)
        movq    %rdi, 64(%rsp)
        movq    %rsi, 72(%rsp)
        movq    %rbx, 88(%rsp)
        movq    %rdx, 96(%rsp)
        movq    %rax, 104(%rsp)
        movq    %rcx, 112(%rsp)
        // rbp: the caller's frame pointer, saved at our frame base.
        movq    0(%rbp), %rax
        movq    %rax, 80(%rsp)
        // rsp: the caller's stack pointer once we return (frame base + saved rbp + return address).
        leaq    16(%rbp), %rax
        movq    %rax, 120(%rsp)
        // rip: our return address.
        movq    8(%rbp), %rax
        movq    %rax, 128(%rsp)
        pushfq
        popq    %rax
        movq    %rax, 136(%rsp)
        // cs in bits 0-15, gs in 16-31, fs in 32-47.
        xorl    %eax, %eax
        movw    %fs, %ax
        shlq    $16, %rax
        xorl    %ecx, %ecx
        movw    %gs, %cx
        orq     %rcx, %rax
        shlq    $16, %rax
        xorl    %ecx, %ecx
        movw    %cs, %cx
        orq     %rcx, %rax
        movq    %rax, 144(%rsp)
        // err, trapno, oldmask, cr2, the floating-point pointer and the reserved words: zero.
        xorl    %eax, %eax
        movq    $152, %rcx
1:      movq    %rax, (%rsp,%rcx)
        addq    $8, %rcx
        cmpq    $256, %rcx
        jb      1b
        // finish(mcontext, callback, context)
        movq    %rsi, %rdx
        movq    %rdi, %rsi
        movq    %rsp, %rdi
        call    MShxcrash_async_thread_state_current_finish@PLT
        movq    %rbp, %rsp
        popq    %rbp
        .cfi_def_cfa %rsp, 8
        ret
        .cfi_endproc
        .size   MShxcrash_async_thread_state_current, .-MShxcrash_async_thread_state_current
#endif
        .section .note.GNU-stack,"",@progbits
