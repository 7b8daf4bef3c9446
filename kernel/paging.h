// Page tables: the four-level x86-64 format in one place. The boot code builds
// the tables (kernel/entry.S, from the bits in machine.h); this module opens
// pages of them to ring 3 and answers whether a program's range is its own.
#pragma once
#include <cstdint>

#include "machine.h"  // the entry bits and the boot tables' addresses

// Physical address bits of an entry; above them sit the available bits and NX.
constexpr uint64_t PAGE_ADDR_MASK = 0x000FFFFFFFFFF000ull;
constexpr int PML4_SHIFT = 39;
constexpr int PDPT_SHIFT = 30;
constexpr int PD_SHIFT = 21;
constexpr int PT_SHIFT = 12;
// Programs live in the lower half of the canonical address space.
constexpr uint64_t USER_SPACE_END = 1ull << 47;

constexpr uint64_t page_table_index(uint64_t addr, int shift) {
    return (addr >> shift) & (PAGE_TABLE_ENTRIES - 1);
}

constexpr uint64_t large_page_base(uint64_t addr) { return addr & ~(LARGE_PAGE_BYTES - 1); }

// Sets the user bit on the PML4, PDPT and directory entries that translate addr,
// a 2 MiB page of the boot tables, and prints the directory entry it leaves.
void pt_make_user_accessible(uint64_t addr);

// True when every byte of [addr, addr + len) is mapped, open to ring 3 at every
// level of its walk and, with `write`, writable at every level. len > 0.
bool paging_user_range_ok(uint64_t addr, uint64_t len, bool write);
