// Builds Multiboot2 boot information byte by byte, well-formed or not, and
// places it in fake physical memory for the page allocator to read.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "fake_phys.h"
#include "pmm.h"

struct mb2_entry {
    uint64_t base;
    uint64_t length;
    uint32_t type;
};

constexpr uint32_t MB2_AVAILABLE = 1;
constexpr uint32_t MB2_RESERVED = 2;
// In low memory, which the allocator keeps for itself, away from the bitmap.
constexpr uint64_t MB2_INFO_ADDR = 0x20000;

class mb2_builder {
public:
    mb2_builder() { u32(0).u32(0); }  // total_size (patched in place()), reserved

    // A memory-map tag; `entry_size` may pad (with 0xEE) or cut each entry,
    // `size_override` writes another tag size than the true one.
    mb2_builder& mmap(const std::vector<mb2_entry>& entries, uint32_t entry_size = 24, int64_t size_override = -1) {
        const size_t start = bytes_.size();
        u32(6).u32(0).u32(entry_size).u32(0);
        for (const auto& e : entries) {
            const size_t at = bytes_.size();
            u64(e.base).u64(e.length).u32(e.type).u32(0);
            bytes_.resize(at + entry_size, 0xEE);
        }
        patch32(start + 4, static_cast<uint32_t>(size_override >= 0 ? size_override : bytes_.size() - start));
        return align();
    }
    // Any tag with a raw payload.
    mb2_builder& tag(uint32_t type, const std::vector<uint8_t>& payload, int64_t size_override = -1) {
        u32(type).u32(static_cast<uint32_t>(size_override >= 0 ? size_override : 8 + payload.size()));
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        return align();
    }
    mb2_builder& end() { return u32(0).u32(8); }
    mb2_builder& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    mb2_builder& u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
    size_t size() const { return bytes_.size(); }

    // Writes the information at `addr` with total_size = its length, or another value.
    uint64_t place(uint64_t addr, int64_t total_size = -1) {
        patch32(0, static_cast<uint32_t>(total_size >= 0 ? total_size : bytes_.size()));
        std::memcpy(fake_phys::at(addr), bytes_.data(), bytes_.size());
        return addr;
    }

private:
    void patch32(size_t at, uint32_t v) { std::memcpy(&bytes_[at], &v, 4); }
    mb2_builder& align() {
        while (bytes_.size() % 8 != 0) bytes_.push_back(0);
        return *this;
    }
    std::vector<uint8_t> bytes_;
};

// Boots the page allocator on a well-formed map at MB2_INFO_ADDR.
inline void pmm_boot(const std::vector<mb2_entry>& map) {
    fake_phys::clear(MB2_INFO_ADDR, 0x1000);
    mb2_builder info;
    info.mmap(map).end();
    pmm_init(info.place(MB2_INFO_ADDR));
}

// What QEMU's firmware reports for 512 MiB: low memory up to the EBDA, the BIOS
// area, RAM from 1 MiB to 128 KiB below the top, firmware pages, the flash.
inline std::vector<mb2_entry> typical_map_512m() {
    return {{0x0, 0x9FC00, MB2_AVAILABLE},       {0x9FC00, 0x400, MB2_RESERVED},
            {0xF0000, 0x10000, MB2_RESERVED},    {0x100000, 0x1FEE0000, MB2_AVAILABLE},
            {0x1FFE0000, 0x20000, MB2_RESERVED}, {0xFFFC0000, 0x40000, MB2_RESERVED}};
}
