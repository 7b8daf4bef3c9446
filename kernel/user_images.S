/* The user programs the kernel carries, embedded byte for byte from the build
   tree (the assembler finds them through the build directory on its include
   path). Each image gets a global label named after its path in the build tree
   and a 32-bit length variable <label>_len. The loader only copies from them,
   so they live in read-only data. */
#include "user_images.inc"

    user_image build_applications_fibonacci_elf, "applications/fibonacci.elf"
    user_image build_applications_primes_elf,    "applications/primes.elf"
    user_image build_applications_ascii_elf,     "applications/ascii.elf"
    user_image build_applications_matrix_elf,    "applications/matrix.elf"
    user_image build_applications_guess_elf,     "applications/guess.elf"
    user_image build_applications_sort_elf,      "applications/sort.elf"
    user_image build_raw_test_elf,               "raw_test.elf"
    user_image build_raw_stack_test_elf,         "raw_stack_test.elf"
    user_image build_hello_v2_elf,               "hello_v2.elf"
    user_image hello_elf_data,                   "hello.elf"
    user_image build_test_prog_elf,              "test_prog.elf"

    .section .note.GNU-stack, "", @progbits
