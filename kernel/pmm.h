// Physical page allocator: one bit per 4 KiB frame, fed from the Multiboot2 map.
#pragma once
#include <cstdint>

void pmm_init(uint64_t info);  // physical address of the Multiboot2 boot information
uint64_t pmm_alloc_page();     // lowest free frame's address, or 0
void pmm_free_page(uint64_t addr);
uint64_t pmm_get_free_pages();
uint64_t pmm_get_total_pages();
