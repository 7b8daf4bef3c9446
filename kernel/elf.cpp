// ELF64 loader: checks that an image held in kernel memory is a little-endian
// x86-64 executable and copies its PT_LOAD segments to their link addresses.
//
// Invariant: nothing outside the user image area [USER_IMAGE_BASE, USER_IMAGE_END)
// is ever written, and a refused image writes nothing at all: every program header
// is checked before the first byte is copied. Every offset, size and address taken
// from the image is checked with arithmetic that cannot wrap.
#include "elf.h"

#include "layout.h"
#include "main.h"
#include "phys.h"

namespace {

constexpr uint32_t ELF_HEADER_BYTES = 64;
constexpr uint8_t ELF_MAGIC[4] = {0x7F, 'E', 'L', 'F'};
constexpr uint8_t ELFCLASS64 = 2;
constexpr uint8_t ELFDATA2LSB = 1;
constexpr uint16_t ET_EXEC = 2;
constexpr uint16_t EM_X86_64 = 62;
constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PF_X = 1u << 0;
constexpr uint32_t PF_W = 1u << 1;
constexpr uint32_t PF_R = 1u << 2;
constexpr uint64_t NO_LOAD_START = ~0ull;
// Static programs have about ten program headers (glibc's and busybox's have 10).
constexpr uint16_t ELF_MAX_PHDRS = 64;

struct elf64_header {
    uint8_t e_ident[16];
    uint16_t e_type;
    uint16_t e_machine;
    uint32_t e_version;
    uint64_t e_entry;
    uint64_t e_phoff;
    uint64_t e_shoff;
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;
};
static_assert(sizeof(elf64_header) == ELF_HEADER_BYTES);
static_assert(offsetof(elf64_header, e_type) == 16);
static_assert(offsetof(elf64_header, e_machine) == 18);
static_assert(offsetof(elf64_header, e_entry) == 24);
static_assert(offsetof(elf64_header, e_phoff) == 32);
static_assert(offsetof(elf64_header, e_phentsize) == 54);
static_assert(offsetof(elf64_header, e_phnum) == 56);

constexpr size_t EI_CLASS = 4;
constexpr size_t EI_DATA = 5;

struct elf64_phdr {
    uint32_t p_type;
    uint32_t p_flags;
    uint64_t p_offset;
    uint64_t p_vaddr;
    uint64_t p_paddr;
    uint64_t p_filesz;
    uint64_t p_memsz;
    uint64_t p_align;
};
constexpr uint16_t ELF_PHDR_BYTES = 56;
static_assert(sizeof(elf64_phdr) == ELF_PHDR_BYTES);
static_assert(offsetof(elf64_phdr, p_flags) == 4);
static_assert(offsetof(elf64_phdr, p_offset) == 8);
static_assert(offsetof(elf64_phdr, p_vaddr) == 16);
static_assert(offsetof(elf64_phdr, p_filesz) == 32);
static_assert(offsetof(elf64_phdr, p_memsz) == 40);

// The image may sit at any byte address, so fields are copied out, never
// read through a cast pointer.
elf64_header read_header(const uint8_t* image) {
    elf64_header h;
    kmemcpy(&h, image, sizeof h);
    return h;
}

// Only valid after elf64_validate: the table lies inside the image and every
// entry is at least ELF_PHDR_BYTES long.
elf64_phdr read_phdr(const uint8_t* image, const elf64_header& h, uint32_t index) {
    elf64_phdr p;
    kmemcpy(&p, image + h.e_phoff + static_cast<uint64_t>(index) * h.e_phentsize, sizeof p);
    return p;
}

// True when [off, off + len) lies inside an image of `size` bytes.
bool within(uint64_t off, uint64_t len, uint64_t size) {
    return off <= size && len <= size - off;
}

elf64_load_result failed(uint64_t entry) {
    return elf64_load_result{entry, NO_LOAD_START, 0, 0, 0, 0, 0};
}

// Checks one PT_LOAD header against the image and the user image area. Returns
// false after printing the reason. The order: file bounds first (the described
// failure), then the segment's own consistency, then its destination.
bool segment_acceptable(const elf64_phdr& p, uint32_t size) {
    if (!within(p.p_offset, p.p_filesz, size)) {
        kprintf("[elf] Segment extends beyond file\n");
        return false;
    }
    if (p.p_filesz > p.p_memsz) {
        kprintf("[elf] Segment file size exceeds its memory size\n");
        return false;
    }
    if (p.p_vaddr < USER_IMAGE_BASE || !within(p.p_vaddr, p.p_memsz, USER_IMAGE_END)) {
        kprintf("[elf] Segment outside user image area 0x%x-0x%x\n", USER_IMAGE_BASE, USER_IMAGE_END - 1);
        return false;
    }
    return true;
}

// Two PT_LOAD segments whose memory ranges share a byte; sizes are compared
// without adding them to an address, so no range can wrap into a false answer.
bool overlapping_segments(const uint8_t* image, const elf64_header& h) {
    for (uint32_t i = 0; i < h.e_phnum; ++i) {
        const elf64_phdr a = read_phdr(image, h, i);
        if (a.p_type != PT_LOAD || a.p_memsz == 0) continue;
        for (uint32_t j = i + 1; j < h.e_phnum; ++j) {
            const elf64_phdr b = read_phdr(image, h, j);
            if (b.p_type != PT_LOAD || b.p_memsz == 0) continue;
            const bool apart = a.p_vaddr <= b.p_vaddr ? b.p_vaddr - a.p_vaddr >= a.p_memsz
                                                      : a.p_vaddr - b.p_vaddr >= b.p_memsz;
            if (!apart) {
                kprintf("[elf] Segments %d and %d overlap\n", i, j);
                return true;
            }
        }
    }
    return false;
}

// The address at which a PT_LOAD segment's file bytes put the program-header
// table, or 0 when no segment carries it whole.
uint64_t loaded_phdr(const uint8_t* image, const elf64_header& h) {
    const uint64_t table_bytes = static_cast<uint64_t>(h.e_phnum) * h.e_phentsize;
    for (uint32_t i = 0; i < h.e_phnum; ++i) {
        const elf64_phdr p = read_phdr(image, h, i);
        if (p.p_type == PT_LOAD && h.e_phoff >= p.p_offset &&
            within(h.e_phoff - p.p_offset, table_bytes, p.p_filesz))
            return p.p_vaddr + (h.e_phoff - p.p_offset);
    }
    return 0;
}

bool contains(const elf64_phdr& p, uint64_t addr) {
    return addr >= p.p_vaddr && addr - p.p_vaddr < p.p_memsz;
}

}  // namespace

// The seven format checks come first, in their fixed order, so that each kind of
// foreign file is named by the first thing wrong with it. The entry-size check
// follows them: it only makes sense once the table is known to lie in the file.
int elf64_validate(const uint8_t* image, uint32_t size) {
    if (size < ELF_HEADER_BYTES) {
        kprintf("[elf] File too small for ELF header\n");
        return -1;
    }
    const elf64_header h = read_header(image);
    for (size_t i = 0; i < sizeof ELF_MAGIC; ++i) {
        if (h.e_ident[i] != ELF_MAGIC[i]) {
            kprintf("[elf] Bad ELF magic\n");
            return -1;
        }
    }
    if (h.e_ident[EI_CLASS] != ELFCLASS64) {
        kprintf("[elf] Not a 64-bit ELF (class=%d)\n", h.e_ident[EI_CLASS]);
        return -1;
    }
    if (h.e_ident[EI_DATA] != ELFDATA2LSB) {
        kprintf("[elf] Not little-endian\n");
        return -1;
    }
    if (h.e_type != ET_EXEC) {
        kprintf("[elf] Not an executable (type=%d)\n", h.e_type);
        return -1;
    }
    if (h.e_machine != EM_X86_64) {
        kprintf("[elf] Not x86-64 (machine=%d)\n", h.e_machine);
        return -1;
    }
    // Both factors are 16-bit, so the product cannot overflow 64 bits; the offset
    // is compared before it is added to anything.
    const uint64_t table_bytes = static_cast<uint64_t>(h.e_phnum) * h.e_phentsize;
    if (!within(h.e_phoff, table_bytes, size)) {
        kprintf("[elf] Program header table extends beyond file\n");
        return -1;
    }
    if (h.e_phnum > 0 && h.e_phentsize < ELF_PHDR_BYTES) {
        kprintf("[elf] Program header entry too small (phentsize=%d)\n", h.e_phentsize);
        return -1;
    }
    // Both bounds keep a hostile image from holding the kernel: every header is
    // printed and every segment zero-filled, and overlapping segments would let
    // a later zero fill erase an earlier segment's code.
    if (h.e_phnum > ELF_MAX_PHDRS) {
        kprintf("[elf] Too many program headers: %d (at most %d)\n", h.e_phnum, ELF_MAX_PHDRS);
        return -1;
    }
    return overlapping_segments(image, h) ? -1 : 0;
}

elf64_load_result elf64_load(const uint8_t* image, uint32_t size) {
    if (elf64_validate(image, size) != 0) return failed(0);

    const elf64_header h = read_header(image);
    kprintf("[elf] Entry point: 0x%x\n", h.e_entry);
    kprintf("[elf] Program headers: %d\n", h.e_phnum);

    // First pass: report and check every loadable segment. Nothing is written
    // until all of them have passed, so a refused image leaves memory as it was.
    bool any_load = false;
    bool entry_executable = false;
    for (uint32_t i = 0; i < h.e_phnum; ++i) {
        const elf64_phdr p = read_phdr(image, h, i);
        if (p.p_type != PT_LOAD) continue;
        kprintf("[elf] PT_LOAD[%d]: vaddr=0x%x filesz=0x%x memsz=0x%x flags=%c%c%c\n", i, p.p_vaddr,
                p.p_filesz, p.p_memsz, (p.p_flags & PF_R) ? 'R' : '-', (p.p_flags & PF_W) ? 'W' : '-',
                (p.p_flags & PF_X) ? 'E' : '-');
        // Linkers emit empty segments (often at address 0): nothing to place.
        if (p.p_memsz == 0) continue;
        if (!segment_acceptable(p, size)) return failed(h.e_entry);
        any_load = true;
        if ((p.p_flags & PF_X) != 0 && contains(p, h.e_entry)) entry_executable = true;
    }
    // An image without segments would leave the launch path nothing to open and
    // nothing to run.
    if (!any_load) {
        kprintf("[elf] No loadable segment\n");
        return failed(h.e_entry);
    }
    if (!entry_executable) {
        kprintf("[elf] Entry point 0x%x is not in an executable segment\n", h.e_entry);
        return failed(h.e_entry);
    }

    // Second pass: copy. Segments go in header order; validation has ruled out
    // overlaps, so no zero fill can cover another segment's bytes.
    uint64_t low = NO_LOAD_START;
    uint64_t high = 0;
    for (uint32_t i = 0; i < h.e_phnum; ++i) {
        const elf64_phdr p = read_phdr(image, h, i);
        if (p.p_type != PT_LOAD || p.p_memsz == 0) continue;
        // The zero fill comes first, so the tail past p_filesz reads as zero.
        kmemset(phys_ptr(p.p_vaddr), 0, p.p_memsz);
        if (p.p_filesz != 0) kmemcpy(phys_ptr(p.p_vaddr), image + p.p_offset, p.p_filesz);
        if (p.p_vaddr < low) low = p.p_vaddr;
        if (p.p_vaddr + p.p_memsz > high) high = p.p_vaddr + p.p_memsz;
    }

    kprintf("[elf] Loaded at 0x%x - 0x%x, entry at 0x%x\n", low, high, h.e_entry);
    return elf64_load_result{h.e_entry, low, high, 1, loaded_phdr(image, h), h.e_phnum, h.e_phentsize};
}

uint64_t elf64_get_entry(const uint8_t* image) {
    uint64_t entry;
    kmemcpy(&entry, image + offsetof(elf64_header, e_entry), sizeof entry);
    return entry;
}
