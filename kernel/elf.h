// ELF64 loader: validates an image in kernel memory and copies its PT_LOAD
// segments to their link addresses inside the user image area.
#pragma once
#include <cstddef>
#include <cstdint>

struct elf64_load_result {
    uint64_t entry;
    uint64_t load_start;
    uint64_t load_end;
    uint32_t success;
    // Where a loaded segment holds the program-header table (0 when none does),
    // for the auxiliary vector: a C library finds its TLS and unwind tables there.
    uint64_t phdr;
    uint16_t phnum;
    uint16_t phentsize;
};

int elf64_validate(const uint8_t* image, uint32_t size);
elf64_load_result elf64_load(const uint8_t* image, uint32_t size);
uint64_t elf64_get_entry(const uint8_t* image);
