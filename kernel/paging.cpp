// Page tables: opening the boot tables' 2 MiB pages to ring 3, the 4 KiB pages a
// program maps for itself (in tables that live only for its run), and the one
// way the kernel reaches a program's memory.
//
// Invariant: a range counts as the program's only if the live tables say so at
// every level (present and user, and writable when asked), so the answer can
// never be wider than what the processor itself would let the program reach;
// and the kernel copies to and from a program only through that answer.
#include "paging.h"

#include "cpu.h"
#include "errno.h"
#include "kassert.h"
#include "main.h"
#include "phys.h"
#include "pmm.h"

namespace {

constexpr uint64_t TABLE_FLAGS = PAGE_PRESENT | PAGE_WRITE | PAGE_USER;

uint64_t* table_at(uint64_t entry) { return static_cast<uint64_t*>(phys_ptr(entry & PAGE_ADDR_MASK)); }

// The entry that maps addr at the level with this shift, in the table `entry`
// points at.
uint64_t& entry_for(uint64_t entry, uint64_t addr, int shift) {
    return table_at(entry)[page_table_index(addr, shift)];
}

struct leaf {
    uint64_t rights;  // PAGE_USER and PAGE_WRITE as every level grants them
    uint64_t bytes;   // the size of the page found, 0 when none maps addr
    uint64_t phys;    // where addr itself lies in physical memory
};

// Walks the live tables for addr. A 1 GiB page is not a shape the kernel builds,
// so it is refused rather than guessed at.
leaf walk(uint64_t addr) {
    uint64_t rights = PAGE_USER | PAGE_WRITE;
    uint64_t entry = cpu_read_cr3();
    constexpr int SHIFTS[] = {PML4_SHIFT, PDPT_SHIFT, PD_SHIFT, PT_SHIFT};
    for (const int shift : SHIFTS) {
        entry = entry_for(entry, addr, shift);
        if ((entry & PAGE_PRESENT) == 0) return {0, 0, 0};
        rights &= entry;
        if (shift == PDPT_SHIFT && (entry & PAGE_SIZE) != 0) return {0, 0, 0};
        if (shift == PD_SHIFT && (entry & PAGE_SIZE) != 0) {
            return {rights, LARGE_PAGE_BYTES, (entry & PAGE_ADDR_MASK & ~(LARGE_PAGE_BYTES - 1)) +
                                                  (addr & (LARGE_PAGE_BYTES - 1))};
        }
    }
    return {rights, PAGE_BYTES, (entry & PAGE_ADDR_MASK) + (addr & (PAGE_BYTES - 1))};
}

// Bytes from addr to the end of the page that holds it.
uint64_t rest_of_page(const leaf& page, uint64_t addr) { return page.bytes - (addr & (page.bytes - 1)); }

uint64_t min(uint64_t a, uint64_t b) { return a < b ? a : b; }

// The run's directory for the mmap area, made on first use.
uint64_t& mmap_directory_entry() { return entry_for(entry_for(cpu_read_cr3(), USER_MMAP_BASE, PML4_SHIFT), USER_MMAP_BASE, PDPT_SHIFT); }

// The entry of `table_entry`'s table for addr, with a zeroed table made for it
// when there is none; null when no frame is left for one.
uint64_t* child_entry(uint64_t& table_entry, uint64_t addr, int shift) {
    if ((table_entry & PAGE_PRESENT) == 0) {
        const uint64_t frame = pmm_alloc_page();
        if (frame == 0) return nullptr;
        zero_physical(frame, PAGE_BYTES);
        table_entry = frame | TABLE_FLAGS;
    }
    return &entry_for(table_entry, addr, shift);
}

bool in_mmap_area(uint64_t vaddr) { return vaddr >= USER_MMAP_BASE && vaddr < USER_MMAP_END; }

// Frees the page table under a directory entry once nothing in it is mapped.
void release_table_if_empty(uint64_t& pde) {
    const uint64_t* table = table_at(pde);
    for (uint64_t i = 0; i < PAGE_TABLE_ENTRIES; ++i)
        if ((table[i] & PAGE_PRESENT) != 0) return;
    pmm_free_page(pde & PAGE_ADDR_MASK);
    pde = 0;
}

}  // namespace

void pt_make_user_accessible(uint64_t addr) {
    kprintf("    PD[%d] for vaddr 0x%x \xE2\x86\x92 flags 0x%x\n", page_table_index(addr, PD_SHIFT), addr,
            pt_open_large_page(addr));
}

uint64_t pt_open_large_page(uint64_t addr) {
    // Only the boot tables' shape is opened this way: a present directory entry
    // mapping a 2 MiB page, under present upper levels.
    uint64_t& pml4e = entry_for(cpu_read_cr3(), addr, PML4_SHIFT);
    KASSERT((pml4e & PAGE_PRESENT) != 0);
    uint64_t& pdpte = entry_for(pml4e, addr, PDPT_SHIFT);
    KASSERT((pdpte & (PAGE_PRESENT | PAGE_SIZE)) == PAGE_PRESENT);
    uint64_t& pde = entry_for(pdpte, addr, PD_SHIFT);
    KASSERT((pde & (PAGE_PRESENT | PAGE_SIZE)) == (PAGE_PRESENT | PAGE_SIZE));
    pml4e |= PAGE_USER;
    pdpte |= PAGE_USER;
    pde |= PAGE_USER;
    return pde;
}

bool paging_user_range_ok(uint64_t addr, uint64_t len, bool write) {
    if (addr >= USER_SPACE_END || len > USER_SPACE_END - addr) return false;
    const uint64_t wanted = write ? PAGE_USER | PAGE_WRITE : PAGE_USER;
    const uint64_t end = addr + len;
    for (uint64_t at = addr; at < end;) {
        const leaf page = walk(at);
        if (page.bytes == 0 || (page.rights & wanted) != wanted) return false;
        at += rest_of_page(page, at);
    }
    return true;
}

bool copy_from_user(void* dst, uint64_t src, uint64_t len) {
    if (len == 0) return true;
    if (!paging_user_range_ok(src, len, false)) return false;
    auto* out = static_cast<uint8_t*>(dst);
    while (len > 0) {
        const leaf page = walk(src);
        const uint64_t n = min(len, rest_of_page(page, src));
        kmemcpy(out, phys_ptr(page.phys), n);
        out += n, src += n, len -= n;
    }
    return true;
}

bool copy_to_user(uint64_t dst, const void* src, uint64_t len) {
    if (len == 0) return true;
    if (!paging_user_range_ok(dst, len, true)) return false;
    const auto* in = static_cast<const uint8_t*>(src);
    while (len > 0) {
        const leaf page = walk(dst);
        const uint64_t n = min(len, rest_of_page(page, dst));
        kmemcpy(phys_ptr(page.phys), in, n);
        in += n, dst += n, len -= n;
    }
    return true;
}

int64_t copy_out(uint64_t dst, const void* src, uint64_t len) {
    return copy_to_user(dst, src, len) ? 0 : -KEFAULT;
}

void zero_physical(uint64_t addr, uint64_t bytes) {
    auto* words = static_cast<uint64_t*>(phys_ptr(addr));
    for (uint64_t i = 0; i < bytes / sizeof(uint64_t); ++i) words[i] = 0;
}

int64_t copy_string_from_user(char* dst, uint64_t src, uint64_t capacity) {
    for (uint64_t i = 0; i < capacity; ++i) {
        if (!copy_from_user(dst + i, src + i, 1)) return USER_STRING_FAULT;
        if (dst[i] == '\0') return static_cast<int64_t>(i);
    }
    return USER_STRING_TOO_LONG;
}

bool paging_map_user_page(uint64_t vaddr, uint64_t frame) {
    KASSERT(in_mmap_area(vaddr) && vaddr % PAGE_BYTES == 0 && frame % PAGE_BYTES == 0);
    uint64_t* pde = child_entry(mmap_directory_entry(), vaddr, PD_SHIFT);
    uint64_t* pte = pde == nullptr ? nullptr : child_entry(*pde, vaddr, PT_SHIFT);
    if (pte == nullptr) return false;
    KASSERT((*pte & PAGE_PRESENT) == 0);
    *pte = frame | TABLE_FLAGS;
    return true;
}

uint64_t paging_unmap_user_page(uint64_t vaddr) {
    KASSERT(in_mmap_area(vaddr) && vaddr % PAGE_BYTES == 0);
    uint64_t& pdpte = mmap_directory_entry();
    if ((pdpte & PAGE_PRESENT) == 0) return 0;
    uint64_t& pde = entry_for(pdpte, vaddr, PD_SHIFT);
    if ((pde & PAGE_PRESENT) == 0) return 0;
    uint64_t& pte = entry_for(pde, vaddr, PT_SHIFT);
    const uint64_t frame = (pte & PAGE_PRESENT) != 0 ? pte & PAGE_ADDR_MASK : 0;
    pte = 0;
    release_table_if_empty(pde);
    return frame;
}

void paging_release_user_tables() {
    uint64_t& pdpte = mmap_directory_entry();
    if ((pdpte & PAGE_PRESENT) == 0) return;
    uint64_t* directory = table_at(pdpte);
    for (uint64_t i = 0; i < PAGE_TABLE_ENTRIES; ++i) {
        if ((directory[i] & PAGE_PRESENT) == 0) continue;
        uint64_t* table = table_at(directory[i]);
        for (uint64_t j = 0; j < PAGE_TABLE_ENTRIES; ++j)
            if ((table[j] & PAGE_PRESENT) != 0) pmm_free_page(table[j] & PAGE_ADDR_MASK);
        pmm_free_page(directory[i] & PAGE_ADDR_MASK);
    }
    pmm_free_page(pdpte & PAGE_ADDR_MASK);
    pdpte = 0;
    paging_flush();
}

bool paging_user_page_mapped(uint64_t vaddr) { return walk(vaddr).bytes != 0; }

void paging_flush() { cpu_write_cr3(cpu_read_cr3()); }
