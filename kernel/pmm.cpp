// Physical page allocator: owns every 4 KiB frame of the identity-mapped first
// gigabyte through a bitmap placed right after the kernel image (1 = in use or
// unavailable). Invariant: frame 0 and every frame up to the one holding the
// bitmap's last byte, and the frames of the user-program area and the user stack
// page, are never handed out, so 0 can mean "no frame" and nothing the kernel or
// a user program relies on is ever given to the heap.
#include "pmm.h"

#include <cstddef>

#include "layout.h"
#include "main.h"
#include "phys.h"

namespace {

// Multiboot2 boot information, as the loader lays it out.
struct mb2_info_head {
    uint32_t total_size;
    uint32_t reserved;
};
static_assert(sizeof(mb2_info_head) == 8);

struct mb2_tag {
    uint32_t type;
    uint32_t size;  // includes this 8-byte head
};
static_assert(sizeof(mb2_tag) == 8);

struct mb2_mmap_tag {
    uint32_t type;
    uint32_t size;
    uint32_t entry_size;
    uint32_t entry_version;
};
static_assert(sizeof(mb2_mmap_tag) == 16);
static_assert(offsetof(mb2_mmap_tag, entry_size) == 8);

struct mb2_mmap_entry {
    uint64_t base_addr;
    uint64_t length;
    uint32_t type;
    uint32_t reserved;
};
static_assert(sizeof(mb2_mmap_entry) == 24);
static_assert(offsetof(mb2_mmap_entry, length) == 8);
static_assert(offsetof(mb2_mmap_entry, type) == 16);

constexpr uint32_t MB2_TAG_END = 0;
constexpr uint32_t MB2_TAG_MMAP = 6;
constexpr uint32_t MB2_MEMORY_AVAILABLE = 1;
constexpr uint64_t MB2_TAG_ALIGN = 8;
constexpr uint64_t MB2_FIRST_TAG = sizeof(mb2_info_head);

constexpr uint64_t MAX_REGIONS = 32;
constexpr uint64_t DEFAULT_TOTAL_PAGES = 0x4000;  // 64 MiB, when the map gives nothing
// Only the first gigabyte is mapped, so a frame above it could never be used by
// the kernel that receives it: the bitmap covers no more than that. It also keeps
// the bitmap within the 32 KiB that the linker script leaves below the user area.
constexpr uint64_t MAX_TOTAL_PAGES = IDENTITY_MAP_END / PAGE_BYTES;
constexpr uint64_t ALL_ONES = ~0ull;

struct region {
    uint64_t first_frame;  // first whole frame inside the region
    uint64_t end_frame;    // one past the last whole frame
};

uint64_t total_pages = 0;
uint64_t bitmap_size = 0;
uint64_t used_pages = 0;
uint64_t reserved_low_end = 0;  // frames below this are the kernel's own
// No frame below byte `search_from` of the bitmap is free: the search for a free
// frame starts there instead of at frame 0. Frames go lowest-first, so without
// it the heap's 2048 allocations at start-up rescanned every taken byte each time.
uint64_t search_from = 0;

uint8_t* bitmap() { return static_cast<uint8_t*>(phys_ptr(kernel_end_addr())); }

bool frame_used(uint64_t f) { return (bitmap()[f / 8] >> (f % 8)) & 1; }
void set_frame(uint64_t f) { bitmap()[f / 8] |= static_cast<uint8_t>(1u << (f % 8)); }
void clear_frame(uint64_t f) { bitmap()[f / 8] &= static_cast<uint8_t>(~(1u << (f % 8))); }

// The boot information may sit at any byte address; copying keeps every read
// aligned whatever the loader did.
template <typename T>
T read_boot(uint64_t addr) {
    T value;
    kmemcpy(&value, phys_ptr(addr), sizeof(T));
    return value;
}

bool in_user_area(uint64_t f) {
    return (f >= USER_IMAGE_BASE / PAGE_BYTES && f < USER_IMAGE_END / PAGE_BYTES) ||
           (f >= USER_STACK_BASE / PAGE_BYTES && f < USER_STACK_PAGE_END / PAGE_BYTES);
}

void reserve_range(uint64_t first, uint64_t end) {
    for (uint64_t f = first; f < end && f < total_pages; ++f) {
        if (!frame_used(f)) {
            set_frame(f);
            ++used_pages;
        }
    }
}

void free_frame(uint64_t f) {
    if (frame_used(f)) {
        clear_frame(f);
        --used_pages;
    }
}

uint64_t bits_set(uint8_t byte) {
    uint64_t n = 0;
    for (; byte != 0; byte &= static_cast<uint8_t>(byte - 1)) ++n;
    return n;
}

// Marks frames [first, end) free, counting only those that were used (regions
// of the map may overlap). Whole bitmap bytes are cleared at once: a frame at a
// time made this most of the start-up's time on a machine of some gigabytes.
void free_range(uint64_t first, uint64_t end) {
    if (end > total_pages) end = total_pages;
    uint64_t f = first;
    for (; f < end && f % 8 != 0; ++f) free_frame(f);
    for (; f + 8 <= end; f += 8) {
        uint8_t& byte = bitmap()[f / 8];
        used_pages -= bits_set(byte);
        byte = 0;
    }
    for (; f < end; ++f) free_frame(f);
}

struct collected {
    region regions[MAX_REGIONS];
    uint64_t count = 0;
    uint64_t max_end = 0;  // highest region end in bytes, saturated at 2^64 - 1
};

void read_mmap_tag(uint64_t tag, uint32_t size, collected& out) {
    // A tag too short for its own head, or whose entries could not hold the
    // fields read below, is malformed: skipped whole.
    if (size < sizeof(mb2_mmap_tag)) return;
    const auto head = read_boot<mb2_mmap_tag>(tag);
    if (head.entry_size < sizeof(mb2_mmap_entry)) return;

    // Each entry must lie wholly inside the tag.
    for (uint64_t pos = sizeof(mb2_mmap_tag); pos <= size && head.entry_size <= size - pos;
         pos += head.entry_size) {
        if (out.count >= MAX_REGIONS) return;
        const auto e = read_boot<mb2_mmap_entry>(tag + pos);
        if (e.type != MB2_MEMORY_AVAILABLE || e.length < PAGE_BYTES) continue;
        // A region that wraps past the top of the address space ends there.
        const uint64_t end = e.length > ALL_ONES - e.base_addr ? ALL_ONES : e.base_addr + e.length;
        region& r = out.regions[out.count++];
        r.first_frame = e.base_addr / PAGE_BYTES + (e.base_addr % PAGE_BYTES != 0 ? 1 : 0);
        r.end_frame = end / PAGE_BYTES;
        if (end > out.max_end) out.max_end = end;
    }
}

void collect_regions(uint64_t info, collected& out) {
    // The information must at least start inside mapped memory, and the walk
    // never leaves it whatever total_size claims.
    if (info > IDENTITY_MAP_END - sizeof(mb2_info_head)) return;
    uint64_t total_size = read_boot<mb2_info_head>(info).total_size;
    if (total_size < 16) return;
    if (total_size > IDENTITY_MAP_END - info) total_size = IDENTITY_MAP_END - info;

    for (uint64_t off = MB2_FIRST_TAG; off + sizeof(mb2_tag) <= total_size;) {
        const auto tag = read_boot<mb2_tag>(info + off);
        if (tag.type == MB2_TAG_END || tag.size < sizeof(mb2_tag)) return;
        // A tag running past the end of the information is not read; its size
        // also carries the walk past the end, so nothing after it is either.
        if (tag.type == MB2_TAG_MMAP && tag.size <= total_size - off)
            read_mmap_tag(info + off, tag.size, out);
        off = (off + tag.size + MB2_TAG_ALIGN - 1) & ~(MB2_TAG_ALIGN - 1);
    }
}

}  // namespace

void pmm_init(uint64_t info) {
    collected found;
    collect_regions(info, found);

    total_pages = found.count == 0 ? DEFAULT_TOTAL_PAGES : found.max_end / PAGE_BYTES;
    if (total_pages > MAX_TOTAL_PAGES) total_pages = MAX_TOTAL_PAGES;
    bitmap_size = (total_pages + 7) / 8;
    kmemset(bitmap(), 0xFF, bitmap_size);
    used_pages = total_pages;
    search_from = 0;

    for (uint64_t i = 0; i < found.count; ++i) free_range(found.regions[i].first_frame, found.regions[i].end_frame);

    reserved_low_end = (kernel_end_addr() + bitmap_size + PAGE_BYTES - 1) / PAGE_BYTES;
    reserve_range(0, reserved_low_end);
    reserve_range(USER_IMAGE_BASE / PAGE_BYTES, USER_IMAGE_END / PAGE_BYTES);
    reserve_range(USER_STACK_BASE / PAGE_BYTES, USER_STACK_PAGE_END / PAGE_BYTES);

    const uint64_t free_pages = total_pages - used_pages;
    kprintf("  [OK] PMM: %d total, %d free (%d MB)\n", total_pages, free_pages, free_pages * 4 / 1024);
}

// Lowest free frame first. Whole bytes of used frames are passed over at once,
// which finds the same frame as a bit-by-bit scan.
uint64_t pmm_alloc_page() {
    const uint8_t* map = bitmap();
    for (uint64_t byte = search_from; byte < bitmap_size; ++byte) {
        if (map[byte] == 0xFF) continue;
        for (uint64_t f = byte * 8; f < byte * 8 + 8 && f < total_pages; ++f) {
            if (!frame_used(f)) {
                set_frame(f);
                ++used_pages;
                search_from = byte;
                return f * PAGE_BYTES;
            }
        }
    }
    search_from = bitmap_size;
    return 0;
}

// The kernel's own frames and the user areas are never free, whoever asks:
// releasing one would let the heap hand out the kernel image, the bitmap, frame 0
// (indistinguishable from failure) or the memory a user program runs in.
void pmm_free_page(uint64_t addr) {
    const uint64_t f = addr / PAGE_BYTES;
    if (f >= total_pages || f < reserved_low_end || in_user_area(f)) return;
    if (!frame_used(f)) return;
    clear_frame(f);
    --used_pages;
    if (f / 8 < search_from) search_from = f / 8;
}

uint64_t pmm_get_free_pages() { return total_pages - used_pages; }

uint64_t pmm_get_total_pages() { return total_pages; }
