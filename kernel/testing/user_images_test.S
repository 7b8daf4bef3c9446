/* The programs only the test kernel carries, for faults a normal program never
   provokes: test_spin stays in ring 3 for about a second, test_hlt executes a
   privileged instruction there. */
#include "../user_images.inc"

    user_image build_test_spin_elf, "test_spin.elf"
    user_image build_test_hlt_elf,  "test_hlt.elf"

    .section .note.GNU-stack, "", @progbits
