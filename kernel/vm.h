// A program's memory beyond its image: the break inside the image area and the
// anonymous pages of the mmap area, given back whole when the program ends.
#pragma once
#include <cstdint>

// The break starts at the page-rounded end of the highest segment.
void vm_begin_run(uint64_t image_end);
void vm_end_run();

int64_t sys_brk(uint64_t addr, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_mmap(uint64_t addr, uint64_t length, uint64_t prot, uint64_t flags, uint64_t fd);
int64_t sys_munmap(uint64_t addr, uint64_t length, uint64_t, uint64_t, uint64_t);
int64_t sys_mremap(uint64_t old_addr, uint64_t old_length, uint64_t new_length, uint64_t flags, uint64_t);
int64_t sys_mprotect(uint64_t addr, uint64_t length, uint64_t prot, uint64_t, uint64_t);
