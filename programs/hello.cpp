// The greeting program: started by the shell's run command (as hello) and by
// execute hello2 (as hello_v2, with its own entry routine).
#include "runtime.h"

int main() {
    printf("Hello from Tarvelin userspace!\n");
    printf("This is a minimal userspace program running on the Tarvelin kernel.\n");
    printf("System call test: %d + %d = %d\n", 21, 21, 42);
    printf("Hex test: 0x%x\n", 0xdeadbeef);
    return 0;
}
