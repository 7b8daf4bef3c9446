// The boot page tables as start-up leaves them, in fake physical memory: PML4 at
// 0x1000, one PDPT at 0x2000, one directory at 0x3000 identity-mapping the first
// GiB in 2 MiB pages, all supervisor-only.
#pragma once
#include <cstdint>

#include "fake_phys.h"
#include "layout.h"

namespace boot_tables {
constexpr uint64_t PML4 = 0x1000, PDPT = 0x2000, PD = 0x3000;
constexpr uint64_t P = 1, W = 2, U = 4, PS = 0x80;

inline uint64_t& entry(uint64_t table, uint64_t index) { return fake_phys::at<uint64_t>(table)[index]; }

inline void build() {
    fake_phys::clear(PML4, 0x3000);
    entry(PML4, 0) = PDPT | P | W;
    entry(PDPT, 0) = PD | P | W;
    for (uint64_t i = 0; i < 512; ++i) entry(PD, i) = i * LARGE_PAGE_BYTES | P | W | PS;
}
}  // namespace boot_tables
