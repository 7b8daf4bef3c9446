// The SYSCALL entry path is instruction-level code that host builds do not
// assemble; syscall_init only needs an address to put in IA32_LSTAR.
#include "syscall.h"

extern "C" void syscall_entry() {}
