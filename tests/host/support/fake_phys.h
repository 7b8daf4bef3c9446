// Fake physical memory for host tests: a lazily committed mapping that stands for
// the machine's identity-mapped first gigabyte and a little more (the user stack
// at 256 MiB, frames near the 1 GiB limit).
#pragma once
#include <cstddef>
#include <cstdint>

#include "phys.h"

namespace fake_phys {
constexpr uint64_t SIZE = 0x48000000;  // 1 GiB + 128 MiB
void ensure();                           // maps it on first use
void clear(uint64_t addr, uint64_t len); // back to zero, cheaply
template <typename T = uint8_t>
T* at(uint64_t addr) { ensure(); return static_cast<T*>(phys_ptr(addr)); }
}  // namespace fake_phys
