// lanfeng_guarded_host_call (see host_call.h): pushes the argument words
// last to first, calls the host function, and puts the stack pointer back
// from the frame pointer, so a function that leaves its arguments on the
// stack (C's convention) and one that removes them (the Windows API's)
// both return to an intact frame. ESI is saved as every convention asks;
// EDX:EAX pass through as the function's answer.
        .text
        .globl  _lanfeng_guarded_host_call
        .def    _lanfeng_guarded_host_call; .scl 2; .type 32; .endef
_lanfeng_guarded_host_call:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %esi
        movl    12(%ebp), %esi          // words
        movl    16(%ebp), %ecx          // count
1:      testl   %ecx, %ecx
        jz      2f
        pushl   -4(%esi,%ecx,4)
        decl    %ecx
        jmp     1b
2:      call    *8(%ebp)
        leal    -4(%ebp), %esp
        popl    %esi
        popl    %ebp
        ret
