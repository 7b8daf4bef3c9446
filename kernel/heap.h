// Kernel heap: first fit over a list of blocks carved from page-allocator frames.
#pragma once
#include <cstddef>
#include <cstdint>

void heap_init();
void* kmalloc(uint64_t size);
void* kcalloc(uint64_t count, uint64_t size);
void kfree(void* ptr);
