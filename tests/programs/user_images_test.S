/* The programs only the test kernel carries, for faults and attacks a normal
   program never provokes. */
#include "user_images.inc"

    user_image build_test_spin_elf,      "test_spin.elf"
    user_image build_test_hlt_elf,       "test_hlt.elf"
    user_image build_test_trapflag_elf,  "test_trapflag.elf"
    user_image build_test_wildwrite_elf, "test_wildwrite.elf"
    user_image build_test_outpic_elf,    "test_outpic.elf"
    user_image build_test_outata_elf,    "test_outata.elf"
    user_image build_test_inata_elf,     "test_inata.elf"

    .section .note.GNU-stack, "", @progbits
