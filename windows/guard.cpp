/*
 * guard.cpp - guardedCall (guard.h): a call under a structured exception
 * handler of its own.
 *
 * The compiler has no __try, so the frame is built by hand, in assembly.
 * When the guarded call raises an exception, Windows (any version: 95,
 * NT 3.51 and later, and Wine) calls the frame's handler; the handler does
 * not return to the dispatcher but goes straight back into guardedCall's
 * own frame, as an __except block does, and guardedCall returns 0.  The
 * frames of the abandoned call are dropped, not unwound: the callee is a
 * DLL function that registers no handlers of its own that need to run.
 *
 * 32-bit x86: the handler's record is pushed on the stack and linked at
 * the head of the thread's handler list (fs:[0]), which is unchanged
 * since Windows 95.  The image has no table of safe handlers, so Windows
 * XP SP2 and later accept a handler anywhere in it; the record stays in
 * the chain the dispatcher walks, so SEHOP's check of the chain holds.
 *
 * x86-64 (the test build): exceptions are dispatched through the unwind
 * tables, so guardedCall is given unwind information that names its
 * handler; the handler finds guardedCall's frame as the establisher frame
 * and restores every register the calling convention keeps.
 */
#include "guard.h"

#if defined(__i386__)

/* Frame of guardedCall after its prologue (ebp = its frame pointer):
 *   ebp-4 ebx, ebp-8 esi, ebp-12 edi (the registers a cdecl callee keeps)
 *   ebp-16 ebp again (for the handler), ebp-20 the handler, ebp-24 the
 *   record's link to the handler before it: the record is at ebp-24.
 * Arguments: 8(ebp) fn, 12(ebp) arg, 16(ebp) result, 20(ebp) code. */
__asm__(
    "    .text\n"
    "    .globl _guardedCall\n"
    "    .def _guardedCall; .scl 2; .type 32; .endef\n"
    "_guardedCall:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl %ebp\n"
    "    pushl $_guardHandler\n"
    "    pushl %fs:0\n"
    "    movl %esp, %fs:0\n"
    "    pushl 12(%ebp)\n"
    "    call *8(%ebp)\n"
    "    addl $4, %esp\n"
    "    movl 16(%ebp), %ecx\n"
    "    movl %eax, (%ecx)\n"
    "    movl $1, %eax\n"
    "guardLeave:\n"
    "    popl %ecx\n"
    "    movl %ecx, %fs:0\n"
    "    addl $8, %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n"
    "\n"
    /* EXCEPTION_DISPOSITION handler(EXCEPTION_RECORD *, void *record,
     * CONTEXT *, void *): while the stack is unwound (flags 2 and 4) it
     * has nothing to do; else back onto guardedCall's frame. */
    "    .def _guardHandler; .scl 3; .type 32; .endef\n"
    "_guardHandler:\n"
    "    movl 4(%esp), %eax\n"
    "    testl $6, 4(%eax)\n"
    "    jnz 1f\n"
    "    movl (%eax), %edx\n"
    "    movl 8(%esp), %esp\n"
    "    movl 8(%esp), %ebp\n"
    "    movl 20(%ebp), %ecx\n"
    "    movl %edx, (%ecx)\n"
    "    xorl %eax, %eax\n"
    "    jmp guardLeave\n"
    "1:  movl $1, %eax\n"
    "    ret\n");

#elif defined(__x86_64__)

/* Frame of guardedCall after its prologue (rsp = the establisher frame):
 *   0..31 the callee's shadow space, 32 result, 40 code,
 *   48..207 xmm6-xmm15, 208 padding, 216.. r15 r14 r13 r12 rdi rsi rbx rbp,
 *   then the return address.  Arguments: rcx fn, rdx arg, r8 result,
 *   r9 code. */
__asm__(
    "    .text\n"
    "    .globl guardedCall\n"
    "    .def guardedCall; .scl 2; .type 32; .endef\n"
    "    .seh_proc guardedCall\n"
    "guardedCall:\n"
    "    pushq %rbp\n"
    "    .seh_pushreg %rbp\n"
    "    pushq %rbx\n"
    "    .seh_pushreg %rbx\n"
    "    pushq %rsi\n"
    "    .seh_pushreg %rsi\n"
    "    pushq %rdi\n"
    "    .seh_pushreg %rdi\n"
    "    pushq %r12\n"
    "    .seh_pushreg %r12\n"
    "    pushq %r13\n"
    "    .seh_pushreg %r13\n"
    "    pushq %r14\n"
    "    .seh_pushreg %r14\n"
    "    pushq %r15\n"
    "    .seh_pushreg %r15\n"
    "    subq $216, %rsp\n"
    "    .seh_stackalloc 216\n"
    "    movdqa %xmm6, 48(%rsp)\n"
    "    .seh_savexmm %xmm6, 48\n"
    "    movdqa %xmm7, 64(%rsp)\n"
    "    .seh_savexmm %xmm7, 64\n"
    "    movdqa %xmm8, 80(%rsp)\n"
    "    .seh_savexmm %xmm8, 80\n"
    "    movdqa %xmm9, 96(%rsp)\n"
    "    .seh_savexmm %xmm9, 96\n"
    "    movdqa %xmm10, 112(%rsp)\n"
    "    .seh_savexmm %xmm10, 112\n"
    "    movdqa %xmm11, 128(%rsp)\n"
    "    .seh_savexmm %xmm11, 128\n"
    "    movdqa %xmm12, 144(%rsp)\n"
    "    .seh_savexmm %xmm12, 144\n"
    "    movdqa %xmm13, 160(%rsp)\n"
    "    .seh_savexmm %xmm13, 160\n"
    "    movdqa %xmm14, 176(%rsp)\n"
    "    .seh_savexmm %xmm14, 176\n"
    "    movdqa %xmm15, 192(%rsp)\n"
    "    .seh_savexmm %xmm15, 192\n"
    "    .seh_endprologue\n"
    "    .seh_handler guardHandler, @except\n"
    "    movq %r8, 32(%rsp)\n"
    "    movq %r9, 40(%rsp)\n"
    "    movq %rcx, %rax\n"
    "    movq %rdx, %rcx\n"
    "    callq *%rax\n"
    "    movq 32(%rsp), %rcx\n"
    "    movl %eax, (%rcx)\n"
    "    movl $1, %eax\n"
    "guardLeave:\n"
    "    movdqa 48(%rsp), %xmm6\n"
    "    movdqa 64(%rsp), %xmm7\n"
    "    movdqa 80(%rsp), %xmm8\n"
    "    movdqa 96(%rsp), %xmm9\n"
    "    movdqa 112(%rsp), %xmm10\n"
    "    movdqa 128(%rsp), %xmm11\n"
    "    movdqa 144(%rsp), %xmm12\n"
    "    movdqa 160(%rsp), %xmm13\n"
    "    movdqa 176(%rsp), %xmm14\n"
    "    movdqa 192(%rsp), %xmm15\n"
    "    addq $216, %rsp\n"
    "    popq %r15\n"
    "    popq %r14\n"
    "    popq %r13\n"
    "    popq %r12\n"
    "    popq %rdi\n"
    "    popq %rsi\n"
    "    popq %rbx\n"
    "    popq %rbp\n"
    "    ret\n"
    "    .seh_endproc\n"
    "\n"
    /* EXCEPTION_DISPOSITION handler(EXCEPTION_RECORD *rec (rcx),
     * void *frame (rdx), CONTEXT *, DISPATCHER_CONTEXT *). */
    "    .def guardHandler; .scl 3; .type 32; .endef\n"
    "guardHandler:\n"
    "    testl $6, 4(%rcx)\n"
    "    jnz 1f\n"
    "    movl (%rcx), %eax\n"
    "    movq %rdx, %rsp\n"
    "    movq 40(%rsp), %rcx\n"
    "    movl %eax, (%rcx)\n"
    "    xorl %eax, %eax\n"
    "    jmp guardLeave\n"
    "1:  movl $1, %eax\n"
    "    ret\n");

#else
#error "guardedCall is written for x86 and x86-64 Windows"
#endif
