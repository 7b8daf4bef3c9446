// ELF64 images for host tests: a builder for crafted images and bounds-checked
// readers for the built programs (program headers, symbols).
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace elf_image {

constexpr uint32_t PT_LOAD = 1, PT_GNU_STACK = 0x6474E551;
constexpr uint32_t PF_X = 1, PF_W = 2, PF_R = 4;

template <typename T>
void put(std::vector<uint8_t>& b, uint64_t off, T value) {
    if (b.size() < off + sizeof value) b.resize(off + sizeof value);
    std::memcpy(b.data() + off, &value, sizeof value);
}

template <typename T>
T get(const std::vector<uint8_t>& b, uint64_t off) {
    if (off > b.size() || sizeof(T) > b.size() - off) throw std::out_of_range("read past the end of the image");
    T value;
    std::memcpy(&value, b.data() + off, sizeof value);
    return value;
}

struct segment {
    uint32_t type, flags;
    uint64_t offset, vaddr, filesz, memsz;
};

// Header, program header table at `phoff` with stride `phentsize`, contents
// from DATA_START on. Fields can be bent after build() with put<>().
struct builder {
    static constexpr uint64_t DATA_START = 0x400;
    uint64_t entry = 0x400000, phoff = 64;
    uint16_t phentsize = 56;
    std::vector<segment> phdrs;
    std::vector<uint8_t> data;

    uint64_t add_data(const std::vector<uint8_t>& bytes) {  // returns their file offset
        const uint64_t off = DATA_START + data.size();
        data.insert(data.end(), bytes.begin(), bytes.end());
        return off;
    }
    builder& load(uint32_t flags, uint64_t offset, uint64_t vaddr, uint64_t filesz, uint64_t memsz) {
        phdrs.push_back({PT_LOAD, flags, offset, vaddr, filesz, memsz});
        return *this;
    }
    builder& other(uint32_t type) {
        phdrs.push_back({type, PF_R | PF_W, 0, 0, 0, 0});
        return *this;
    }
    std::vector<uint8_t> build() const {
        std::vector<uint8_t> b(64, 0);
        const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
        std::memcpy(b.data(), ident, sizeof ident);
        put<uint16_t>(b, 16, 2);   // ET_EXEC
        put<uint16_t>(b, 18, 62);  // EM_X86_64
        put<uint32_t>(b, 20, 1);
        put<uint64_t>(b, 24, entry);
        put<uint64_t>(b, 32, phoff);
        put<uint16_t>(b, 52, 64);
        put<uint16_t>(b, 54, phentsize);
        put<uint16_t>(b, 56, static_cast<uint16_t>(phdrs.size()));
        for (size_t i = 0; i < phdrs.size(); ++i) {
            const uint64_t at = phoff + i * phentsize;
            const segment& p = phdrs[i];
            put(b, at, p.type);
            put(b, at + 4, p.flags);
            put(b, at + 8, p.offset);
            put(b, at + 16, p.vaddr);
            put(b, at + 24, p.vaddr);  // p_paddr
            put(b, at + 32, p.filesz);
            put(b, at + 40, p.memsz);
            put<uint64_t>(b, at + 48, 0x1000);
            if (b.size() < at + phentsize) b.resize(at + phentsize);
        }
        if (!data.empty()) {
            if (b.size() < DATA_START) b.resize(DATA_START);
            b.insert(b.end(), data.begin(), data.end());
        }
        return b;
    }
};

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<segment> segments(const std::vector<uint8_t>& img) {
    std::vector<segment> out;
    const uint64_t phoff = get<uint64_t>(img, 32);
    const uint16_t phentsize = get<uint16_t>(img, 54), phnum = get<uint16_t>(img, 56);
    for (uint64_t i = 0; i < phnum; ++i) {
        const uint64_t at = phoff + i * phentsize;
        out.push_back({get<uint32_t>(img, at), get<uint32_t>(img, at + 4), get<uint64_t>(img, at + 8),
                       get<uint64_t>(img, at + 16), get<uint64_t>(img, at + 32), get<uint64_t>(img, at + 40)});
    }
    return out;
}

// A symbol's value from the static symbol table.
inline std::optional<uint64_t> symbol(const std::vector<uint8_t>& img, const std::string& name) {
    const uint64_t shoff = get<uint64_t>(img, 40);
    const uint16_t shentsize = get<uint16_t>(img, 58), shnum = get<uint16_t>(img, 60);
    for (uint64_t i = 0; i < shnum; ++i) {
        const uint64_t sh = shoff + i * shentsize;
        if (get<uint32_t>(img, sh + 4) != 2) continue;  // SHT_SYMTAB
        const uint64_t strtab = get<uint64_t>(img, shoff + uint64_t{get<uint32_t>(img, sh + 40)} * shentsize + 24);
        const uint64_t first = get<uint64_t>(img, sh + 24), size = get<uint64_t>(img, sh + 32);
        for (uint64_t s = first; s + 24 <= first + size; s += 24) {
            const uint64_t at = strtab + get<uint32_t>(img, s);
            if (at < img.size() && img.size() - at > name.size() &&
                std::memcmp(&img[at], name.c_str(), name.size() + 1) == 0)
                return get<uint64_t>(img, s + 8);
        }
    }
    return std::nullopt;
}

inline std::string flags_text(uint32_t flags) {
    return std::string(flags & PF_R ? "R" : "-") + (flags & PF_W ? "W" : "-") + (flags & PF_X ? "E" : "-");
}

}  // namespace elf_image
