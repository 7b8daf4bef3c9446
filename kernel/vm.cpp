// A program's memory beyond its image. The break grows and shrinks inside the
// image area, whose frames the page allocator never hands out; mmap gives zeroed
// 4 KiB pages at addresses above the identity-mapped gigabyte, each backed by a
// frame of its own, in page tables that exist only for the run.
//
// Invariant: nothing a program is given lies outside the image area or the mmap
// area (the kernel's own frames, its heap among them, are never opened), and
// vm_end_run gives every frame back and clears the image pages the run had, so
// memory reads the same after a run and the next program finds nothing of it.
#include "vm.h"

#include "errno.h"
#include "kassert.h"
#include "main.h"
#include "paging.h"
#include "phys.h"
#include "pmm.h"

namespace {

constexpr uint64_t MAP_SHARED = 0x01;
constexpr uint64_t MAP_PRIVATE = 0x02;
constexpr uint64_t MAP_TYPE = 0x0F;
constexpr uint64_t MAP_FIXED = 0x10;
constexpr uint64_t MAP_ANONYMOUS = 0x20;
constexpr uint64_t MMAP_AREA_BYTES = USER_MMAP_END - USER_MMAP_BASE;
constexpr uint64_t MREMAP_MAYMOVE = 1;
// Frames kept back for the kernel whatever a program asks: its heap and the
// run's page tables must still be able to grow.
constexpr uint64_t KERNEL_RESERVE_PAGES = 1024;

uint64_t brk_start = 0;
uint64_t brk_current = 0;
uint64_t brk_high = 0;  // the highest break of the run
uint64_t mmap_hint = USER_MMAP_BASE;  // where the search for free pages resumes

uint64_t round_up(uint64_t value) { return (value + PAGE_BYTES - 1) & ~(PAGE_BYTES - 1); }

// The first address of `pages` unmapped pages from `from` on, or 0.
uint64_t find_free_run(uint64_t from, uint64_t pages) {
    uint64_t start = from;
    uint64_t found = 0;
    for (uint64_t at = from; at < USER_MMAP_END && found < pages; at += PAGE_BYTES) {
        if (paging_user_page_mapped(at)) {
            start = at + PAGE_BYTES;
            found = 0;
        } else {
            ++found;
        }
    }
    return found == pages ? start : 0;
}

void unmap_range(uint64_t start, uint64_t end) {
    for (uint64_t at = start; at < end; at += PAGE_BYTES) {
        const uint64_t frame = paging_unmap_user_page(at);
        if (frame != 0) pmm_free_page(frame);
    }
}

// Maps zeroed frames at [start, start + pages); on a shortage gives back what it
// took and says so.
bool map_zeroed(uint64_t start, uint64_t pages) {
    for (uint64_t i = 0; i < pages; ++i) {
        const uint64_t frame = pmm_alloc_page();
        if (frame == 0 || !paging_map_user_page(start + i * PAGE_BYTES, frame)) {
            if (frame != 0) pmm_free_page(frame);
            unmap_range(start, start + i * PAGE_BYTES);
            return false;
        }
        zero_physical(frame, PAGE_BYTES);
    }
    return true;
}

bool mapped_in_area(uint64_t start, uint64_t bytes) {
    if (start < USER_MMAP_BASE || start >= USER_MMAP_END || bytes > USER_MMAP_END - start) return false;
    for (uint64_t at = start; at < start + bytes; at += PAGE_BYTES)
        if (!paging_user_page_mapped(at)) return false;
    return true;
}

// Moves the frames behind [from, from + bytes) to `to`, page by page: the data
// goes with them and nothing is copied.
void move_frames(uint64_t from, uint64_t to, uint64_t bytes) {
    for (uint64_t i = 0; i < bytes; i += PAGE_BYTES) {
        const uint64_t frame = paging_unmap_user_page(from + i);
        // The destination was free and every table it needs was made when
        // mapping its first pages, or is made from a frame just given back.
        const bool mapped = paging_map_user_page(to + i, frame);
        KASSERT(mapped);
    }
}

// MAP_FIXED over what the program already has: Linux replaces the pages with
// fresh zeroed ones, which here means zeroing them in place.
int64_t remap_fixed(uint64_t addr, uint64_t bytes) {
    if (addr % PAGE_BYTES != 0) return -KEINVAL;
    if (!paging_user_range_ok(addr, bytes, true)) return -KENOMEM;
    static const uint8_t zeros[256] = {};
    for (uint64_t done = 0; done < bytes; done += sizeof zeros) copy_to_user(addr + done, zeros, sizeof zeros);
    return static_cast<int64_t>(addr);
}

}  // namespace

void vm_begin_run(uint64_t image_end) {
    brk_start = brk_current = brk_high = round_up(image_end);
    mmap_hint = USER_MMAP_BASE;
}

// The image area's pages stay open to ring 3 from one program to the next, and
// the next program's loader fills only its own segments: what this one left in
// them (its data, its heap, its break) is cleared, so no program reads another's.
void vm_end_run() {
    zero_physical(USER_IMAGE_BASE, large_page_base(brk_high - 1) + LARGE_PAGE_BYTES - USER_IMAGE_BASE);
    paging_release_user_tables();
}

// Linux's brk: moves the break and answers with it; a request it cannot meet
// gets the current break. Here the break stays inside the image area, whose
// second 2 MiB page is opened to ring 3 the first time the break reaches it.
int64_t sys_brk(uint64_t addr, uint64_t, uint64_t, uint64_t, uint64_t) {
    if (addr < brk_start || addr > USER_IMAGE_END) return static_cast<int64_t>(brk_current);
    if (addr > brk_current) {
        for (uint64_t page = large_page_base(brk_current); page < addr; page += LARGE_PAGE_BYTES)
            pt_open_large_page(page);
        paging_flush();
        kmemset(phys_ptr(brk_current), 0, addr - brk_current);
    }
    brk_current = addr;
    if (addr > brk_high) brk_high = addr;
    return static_cast<int64_t>(brk_current);
}

// Linux's mmap for anonymous memory, private or shared (one program: the same
// thing). Files cannot be mapped (-ENODEV). The address is the kernel's choice
// unless MAP_FIXED, which is served only over what the program already has.
int64_t sys_mmap(uint64_t addr, uint64_t length, uint64_t, uint64_t flags, uint64_t) {
    const uint64_t type = flags & MAP_TYPE;
    if (length == 0 || (type != MAP_SHARED && type != MAP_PRIVATE)) return -KEINVAL;
    if ((flags & MAP_ANONYMOUS) == 0) return -KENODEV;
    if (length > MMAP_AREA_BYTES) return -KENOMEM;
    const uint64_t bytes = round_up(length);
    if ((flags & MAP_FIXED) != 0) return remap_fixed(addr, bytes);

    const uint64_t pages = bytes / PAGE_BYTES;
    if (pmm_get_free_pages() < pages + KERNEL_RESERVE_PAGES) return -KENOMEM;
    uint64_t start = find_free_run(mmap_hint, pages);
    if (start == 0) start = find_free_run(USER_MMAP_BASE, pages);
    if (start == 0 || !map_zeroed(start, pages)) {
        paging_flush();
        return -KENOMEM;
    }
    paging_flush();
    mmap_hint = start + bytes;
    return static_cast<int64_t>(start);
}

// Linux's munmap: whole pages, and a range holding nothing mapped is no error.
int64_t sys_munmap(uint64_t addr, uint64_t length, uint64_t, uint64_t, uint64_t) {
    if (addr % PAGE_BYTES != 0 || length == 0 || addr >= USER_SPACE_END || length > USER_SPACE_END - addr)
        return -KEINVAL;
    const uint64_t end = addr + round_up(length);
    const uint64_t from = addr > USER_MMAP_BASE ? addr : USER_MMAP_BASE;
    const uint64_t to = end < USER_MMAP_END ? end : USER_MMAP_END;
    if (from < to) unmap_range(from, to);
    paging_flush();
    if (from < mmap_hint && from >= USER_MMAP_BASE) mmap_hint = from;
    return 0;
}

// Protections are not enforced: every page a program has stays readable and
// writable. The call succeeds for ranges the program has, as Linux's does.
int64_t sys_mprotect(uint64_t addr, uint64_t length, uint64_t, uint64_t, uint64_t) {
    if (addr % PAGE_BYTES != 0) return -KEINVAL;
    if (length == 0) return 0;
    if (addr >= USER_SPACE_END || length > USER_SPACE_END - addr) return -KENOMEM;
    return paging_user_range_ok(addr, round_up(length), false) ? 0 : -KENOMEM;
}

// mremap: what mmap gave may shrink in place, grow in place when the pages after
// it are free, or, with MREMAP_MAYMOVE, move (its frames go along, nothing is
// copied). A fixed destination is not offered.
int64_t sys_mremap(uint64_t old_addr, uint64_t old_length, uint64_t new_length, uint64_t flags, uint64_t) {
    if (old_addr % PAGE_BYTES != 0 || new_length == 0 || (flags & ~MREMAP_MAYMOVE) != 0) return -KEINVAL;
    if (old_length > MMAP_AREA_BYTES || new_length > MMAP_AREA_BYTES) return -KENOMEM;
    const uint64_t old_bytes = round_up(old_length);
    const uint64_t new_bytes = round_up(new_length);
    if (!mapped_in_area(old_addr, old_bytes)) return -KEFAULT;
    if (new_bytes <= old_bytes) {
        unmap_range(old_addr + new_bytes, old_addr + old_bytes);
        paging_flush();
        return static_cast<int64_t>(old_addr);
    }
    const uint64_t grow = (new_bytes - old_bytes) / PAGE_BYTES;
    if (pmm_get_free_pages() < grow + KERNEL_RESERVE_PAGES) return -KENOMEM;
    uint64_t start = old_addr;
    const bool in_place = find_free_run(old_addr + old_bytes, grow) == old_addr + old_bytes;
    if (!in_place) {
        if ((flags & MREMAP_MAYMOVE) == 0) return -KENOMEM;
        start = find_free_run(mmap_hint, new_bytes / PAGE_BYTES);
        if (start == 0) start = find_free_run(USER_MMAP_BASE, new_bytes / PAGE_BYTES);
        if (start == 0) return -KENOMEM;
    }
    // The new pages first: if they cannot be had, the old ones are where they were.
    if (!map_zeroed(start + old_bytes, grow)) {
        paging_flush();
        return -KENOMEM;
    }
    if (!in_place) move_frames(old_addr, start, old_bytes);
    paging_flush();
    mmap_hint = start + new_bytes;
    return static_cast<int64_t>(start);
}
