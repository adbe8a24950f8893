// The thunk that calls a 32-bit Windows entry point and measures the stack it leaves.
#include "platform/stack_measured_call.h"

#if defined(__i386__)
// cdecl: (function, words, argumentBytes, bytesLeft). The stack pointer the function should
// return with is kept in ebx, which every convention preserves; the frame pointer restores
// the thunk's own stack pointer whatever the function removed.
__asm__(
    ".text\n"
    ".globl _invokemodule_call_measuring_stack\n"
    "_invokemodule_call_measuring_stack:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  pushl %ebx\n"
    "  movl 16(%ebp), %ecx\n"  // the arguments' bytes, a non-zero multiple of 4
    "  subl %ecx, %esp\n"
    "  movl 12(%ebp), %esi\n"
    "1:\n"  // copy the words, last first (the moves keep the flags of the subtraction)
    "  subl $4, %ecx\n"
    "  movl (%esi,%ecx), %eax\n"
    "  movl %eax, (%esp,%ecx)\n"
    "  jnz 1b\n"
    "  movl %esp, %ebx\n"
    "  addl 16(%ebp), %ebx\n"  // where a stdcall function leaves the stack pointer
    "  call *8(%ebp)\n"
    "  movl %ebx, %ecx\n"
    "  subl %esp, %ecx\n"  // what the function left on the stack
    "  movl 20(%ebp), %edx\n"
    "  movl %ecx, (%edx)\n"
    "  leal -8(%ebp), %esp\n"
    "  popl %ebx\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");
#endif
