// Page tables: the four-level x86-64 format in one place. The boot code builds
// the tables (kernel/entry.S, from the bits in machine.h); this module opens
// pages of them to ring 3, maps a program's own 4 KiB pages in the mmap area,
// answers whether a program's range is its own and copies to and from it.
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
// The same without a word; returns the directory entry.
uint64_t pt_open_large_page(uint64_t addr);

// True when every byte of [addr, addr + len) is mapped, open to ring 3 at every
// level of its walk and, with `write`, writable at every level. len > 0.
bool paging_user_range_ok(uint64_t addr, uint64_t len, bool write);

// Copies between a program's memory and the kernel's; false, with nothing
// copied, unless the whole range is the program's (writable, for copy_to_user).
bool copy_from_user(void* dst, uint64_t src, uint64_t len);
bool copy_to_user(uint64_t dst, const void* src, uint64_t len);
// copy_to_user as a system call answers it: 0, or -EFAULT.
int64_t copy_out(uint64_t dst, const void* src, uint64_t len);
// Reads a zero-terminated string into dst; its length, or one of these when a
// byte is not the program's or no terminator comes within `capacity` bytes.
constexpr int64_t USER_STRING_FAULT = -1;
constexpr int64_t USER_STRING_TOO_LONG = -2;
int64_t copy_string_from_user(char* dst, uint64_t src, uint64_t capacity);

// Zeroes `bytes` (a multiple of 8) of physical memory from `addr`, a word at a
// time: frames and image pages, where kmemset's byte loop would be slow.
void zero_physical(uint64_t addr, uint64_t bytes);

// Maps the 4 KiB page at vaddr (in the mmap area) to `frame`, open to ring 3 and
// writable, building the run's directory and table as needed; false when no
// frame is left for a table. The caller flushes.
bool paging_map_user_page(uint64_t vaddr, uint64_t frame);
// Unmaps the page at vaddr; returns the frame it mapped, or 0. A table left
// empty is given back. The caller flushes.
uint64_t paging_unmap_user_page(uint64_t vaddr);
// Gives back every page mapped in the mmap area with its tables, and flushes.
void paging_release_user_tables();
bool paging_user_page_mapped(uint64_t vaddr);
void paging_flush();
