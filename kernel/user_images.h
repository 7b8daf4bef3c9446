// The user programs the kernel carries: each ELF executable of the build,
// embedded byte for byte in the kernel's read-only data, named after its path
// in the build tree, with its length in bytes beside it.
#pragma once
#include <cstdint>

extern "C" {
extern const uint8_t build_applications_fibonacci_elf[];
extern const uint32_t build_applications_fibonacci_elf_len;
extern const uint8_t build_applications_primes_elf[];
extern const uint32_t build_applications_primes_elf_len;
extern const uint8_t build_applications_ascii_elf[];
extern const uint32_t build_applications_ascii_elf_len;
extern const uint8_t build_applications_matrix_elf[];
extern const uint32_t build_applications_matrix_elf_len;
extern const uint8_t build_applications_guess_elf[];
extern const uint32_t build_applications_guess_elf_len;
extern const uint8_t build_applications_sort_elf[];
extern const uint32_t build_applications_sort_elf_len;
extern const uint8_t build_raw_test_elf[];
extern const uint32_t build_raw_test_elf_len;
extern const uint8_t build_raw_stack_test_elf[];
extern const uint32_t build_raw_stack_test_elf_len;
extern const uint8_t build_hello_v2_elf[];
extern const uint32_t build_hello_v2_elf_len;
extern const uint8_t hello_elf_data[];  // started by run, not in the registry
extern const uint32_t hello_elf_data_len;
extern const uint8_t build_test_prog_elf[];  // carried, started by no command
extern const uint32_t build_test_prog_elf_len;

#ifdef TARVELIN_TEST_IMAGES
// Only in the test kernel (kernel_test.elf, tarvelin-test.iso).
extern const uint8_t build_test_spin_elf[];
extern const uint32_t build_test_spin_elf_len;
extern const uint8_t build_test_hlt_elf[];
extern const uint32_t build_test_hlt_elf_len;
extern const uint8_t build_test_trapflag_elf[];
extern const uint32_t build_test_trapflag_elf_len;
extern const uint8_t build_test_wildwrite_elf[];
extern const uint32_t build_test_wildwrite_elf_len;
extern const uint8_t build_test_outpic_elf[];
extern const uint32_t build_test_outpic_elf_len;
extern const uint8_t build_test_outata_elf[];
extern const uint32_t build_test_outata_elf_len;
extern const uint8_t build_test_inata_elf[];
extern const uint32_t build_test_inata_elf_len;
#endif
}
