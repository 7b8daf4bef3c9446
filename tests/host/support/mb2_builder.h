// Builds Multiboot2 boot information byte by byte, well-formed or not, and
// places it in fake physical memory for the page allocator to read.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "fake_phys.h"

struct mb2_entry {
    uint64_t base;
    uint64_t length;
    uint32_t type;
};

constexpr uint32_t MB2_AVAILABLE = 1;
constexpr uint32_t MB2_RESERVED = 2;

class mb2_builder {
public:
    mb2_builder() { put32(0), put32(0); }  // total_size (patched in place()), reserved

    // A memory-map tag; `size_override` writes another size than the true one,
    // `entry_size` may pad each entry (the padding is filled with 0xEE).
    mb2_builder& mmap(const std::vector<mb2_entry>& entries, uint32_t entry_size = 24,
                      int64_t size_override = -1) {
        const size_t start = bytes_.size();
        put32(6);
        put32(0);
        put32(entry_size);
        put32(0);
        for (const auto& e : entries) {
            const size_t at = bytes_.size();
            put64(e.base);
            put64(e.length);
            put32(e.type);
            put32(0);
            bytes_.resize(at + entry_size, 0xEE);  // shorter strides cut the entry
        }
        patch32(start + 4, size_override >= 0 ? static_cast<uint32_t>(size_override)
                                               : static_cast<uint32_t>(bytes_.size() - start));
        align();
        return *this;
    }
    // Any tag with a raw payload.
    mb2_builder& tag(uint32_t type, const std::vector<uint8_t>& payload, int64_t size_override = -1) {
        put32(type);
        put32(size_override >= 0 ? static_cast<uint32_t>(size_override)
                                 : static_cast<uint32_t>(8 + payload.size()));
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        align();
        return *this;
    }
    mb2_builder& raw(const std::vector<uint8_t>& b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    mb2_builder& end() {
        put32(0);
        put32(8);
        return *this;
    }
    size_t size() const { return bytes_.size(); }
    // Writes the information at `addr` with total_size = its length, or another value.
    uint64_t place(uint64_t addr, int64_t total_size = -1) {
        patch32(0, total_size >= 0 ? static_cast<uint32_t>(total_size) : static_cast<uint32_t>(bytes_.size()));
        std::memcpy(fake_phys::at(addr), bytes_.data(), bytes_.size());
        return addr;
    }

    static std::vector<uint8_t> le64(uint64_t v) {
        std::vector<uint8_t> b(8);
        for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
        return b;
    }
    static std::vector<uint8_t> le32(uint32_t v) {
        std::vector<uint8_t> b(4);
        for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
        return b;
    }

private:
    void put32(uint32_t v) { for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i))); }
    void put64(uint64_t v) { put32(static_cast<uint32_t>(v)), put32(static_cast<uint32_t>(v >> 32)); }
    void patch32(size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<uint8_t>(v >> (8 * i)); }
    void align() { while (bytes_.size() % 8 != 0) bytes_.push_back(0); }

    std::vector<uint8_t> bytes_;
};

// Where the tests put the boot information: in low memory, which the allocator
// keeps for itself, well away from the bitmap at the kernel's end.
constexpr uint64_t MB2_INFO_ADDR = 0x20000;

// The map QEMU's firmware reports for 512 MiB: low memory up to the EBDA, the
// BIOS area, RAM from 1 MiB to 128 KiB below the top, the firmware's own top
// pages and the flash mapping below 4 GiB.
inline std::vector<mb2_entry> typical_map_512m() {
    return {{0x0, 0x9FC00, MB2_AVAILABLE},
            {0x9FC00, 0x400, MB2_RESERVED},
            {0xF0000, 0x10000, MB2_RESERVED},
            {0x100000, 0x1FEE0000, MB2_AVAILABLE},
            {0x1FFE0000, 0x20000, MB2_RESERVED},
            {0xFFFC0000, 0x40000, MB2_RESERVED}};
}
