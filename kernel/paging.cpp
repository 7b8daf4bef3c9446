// Page tables: opening the boot tables' 2 MiB pages to ring 3 and the one check
// every system call makes before it touches a program's memory.
//
// Invariant: a range counts as the program's only if the live tables say so at
// every level (present and user, and writable when asked), so the answer can
// never be wider than what the processor itself would let the program reach.
#include "paging.h"

#include "cpu.h"
#include "kassert.h"
#include "main.h"
#include "phys.h"

namespace {

uint64_t* table_at(uint64_t entry) { return static_cast<uint64_t*>(phys_ptr(entry & PAGE_ADDR_MASK)); }

// The entry that maps addr at the level with this shift, in the table `entry`
// points at.
uint64_t& entry_for(uint64_t entry, uint64_t addr, int shift) {
    return table_at(entry)[page_table_index(addr, shift)];
}

struct leaf {
    uint64_t rights;  // PAGE_USER and PAGE_WRITE as every level grants them
    uint64_t bytes;   // the size of the page found, 0 when none maps addr
};

// Walks the live tables for addr. A 1 GiB page is not a shape the kernel builds,
// so it is refused rather than guessed at.
leaf walk(uint64_t addr) {
    uint64_t rights = PAGE_USER | PAGE_WRITE;
    uint64_t entry = cpu_read_cr3();
    constexpr int SHIFTS[] = {PML4_SHIFT, PDPT_SHIFT, PD_SHIFT, PT_SHIFT};
    for (const int shift : SHIFTS) {
        entry = entry_for(entry, addr, shift);
        if ((entry & PAGE_PRESENT) == 0) return {0, 0};
        rights &= entry;
        if (shift == PD_SHIFT && (entry & PAGE_SIZE) != 0) return {rights, LARGE_PAGE_BYTES};
        if (shift == PDPT_SHIFT && (entry & PAGE_SIZE) != 0) return {0, 0};
    }
    return {rights, PAGE_BYTES};
}

}  // namespace

void pt_make_user_accessible(uint64_t addr) {
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
    kprintf("    PD[%d] for vaddr 0x%x \xE2\x86\x92 flags 0x%x\n", page_table_index(addr, PD_SHIFT), addr, pde);
}

bool paging_user_range_ok(uint64_t addr, uint64_t len, bool write) {
    if (addr >= USER_SPACE_END || len > USER_SPACE_END - addr) return false;
    const uint64_t wanted = write ? PAGE_USER | PAGE_WRITE : PAGE_USER;
    const uint64_t end = addr + len;
    for (uint64_t at = addr; at < end;) {
        const leaf page = walk(at);
        if (page.bytes == 0 || (page.rights & wanted) != wanted) return false;
        at = (at & ~(page.bytes - 1)) + page.bytes;
    }
    return true;
}
