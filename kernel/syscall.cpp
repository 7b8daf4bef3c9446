// The kernel's half of the system-call interface: the SYSCALL MSRs, the 128-slot
// handler table, the dispatcher and the handlers behind it.
//
// Invariant: a handler touches user memory only after checking, in the live page
// tables, that every byte of it lies in pages opened to ring 3, so a program can
// never have the kernel read kernel memory on the program's behalf.
#include "syscall.h"

#include "cpu.h"
#include "layout.h"
#include "main.h"
#include "phys.h"

namespace {

constexpr uint32_t IA32_STAR = 0xC0000081;
constexpr uint32_t IA32_LSTAR = 0xC0000082;
constexpr uint32_t IA32_FMASK = 0xC0000084;

// Selector bases in IA32_STAR. The descriptor table holds kernel code 0x08,
// kernel data 0x10, user data 0x18, user code 0x20. SYSCALL loads CS from bits
// 47:32 and SS from that + 8: 0x08 and 0x10. SYSRETQ loads CS from bits 63:48 + 16
// and SS from bits 63:48 + 8, both with RPL 3: a base of 0x10 gives CS 0x23 (user
// code) and SS 0x1B (user data), a stack selector that IRETQ also accepts when an
// interrupt taken in ring 3 returns there.
constexpr uint64_t STAR_SYSCALL_BASE = 0x0008;
constexpr uint64_t STAR_SYSRET_BASE = 0x0010;
constexpr uint64_t STAR_VALUE = (STAR_SYSRET_BASE << 48) | (STAR_SYSCALL_BASE << 32);
static_assert(STAR_VALUE == 0x0010000800000000);

// SYSCALL keeps none of the program's control flags: interrupts and direction
// as the handlers expect them, and no trap flag, alignment check, nested task or
// I/O privilege level, any of which would let a program steer the kernel's first
// instructions (a single-step trap there would still run on the program's stack).
constexpr uint64_t RFLAGS_TF = 1ull << 8;
constexpr uint64_t RFLAGS_IF = 1ull << 9;
constexpr uint64_t RFLAGS_DF = 1ull << 10;
constexpr uint64_t RFLAGS_IOPL = 3ull << 12;
constexpr uint64_t RFLAGS_NT = 1ull << 14;
constexpr uint64_t RFLAGS_AC = 1ull << 18;
constexpr uint64_t FMASK_VALUE = RFLAGS_TF | RFLAGS_IF | RFLAGS_DF | RFLAGS_IOPL | RFLAGS_NT | RFLAGS_AC;
static_assert(FMASK_VALUE == 0x47700);

constexpr uint64_t FD_STDIN = 0;
constexpr uint64_t FD_STDOUT = 1;
constexpr uint64_t FD_STDERR = 2;

// Page-table entry bits and the walk's geometry.
constexpr uint64_t PTE_PRESENT = 1ull << 0;
constexpr uint64_t PTE_USER = 1ull << 2;
constexpr uint64_t PTE_LARGE = 1ull << 7;
constexpr uint64_t PTE_ADDR_MASK = 0x000FFFFFFFFFF000ull;
constexpr uint64_t PT_INDEX_MASK = 511;
constexpr int PML4_SHIFT = 39;
constexpr int PDPT_SHIFT = 30;
constexpr int PD_SHIFT = 21;

uint64_t table_entry(uint64_t table_addr, uint64_t addr, int shift) {
    const auto* table = static_cast<const uint64_t*>(phys_ptr(table_addr & PTE_ADDR_MASK));
    return table[(addr >> shift) & PT_INDEX_MASK];
}

bool user_present(uint64_t entry) {
    return (entry & (PTE_PRESENT | PTE_USER)) == (PTE_PRESENT | PTE_USER);
}

// True when the 2 MiB page holding addr is present and open to ring 3 at all
// three levels. Only the shape the kernel builds is understood (PDPT entries
// pointing at a directory, directory entries mapping 2 MiB pages); any other
// shape is refused rather than guessed at.
bool large_page_open_to_user(uint64_t addr) {
    const uint64_t pml4e = table_entry(cpu_read_cr3(), addr, PML4_SHIFT);
    if (!user_present(pml4e)) return false;
    const uint64_t pdpte = table_entry(pml4e, addr, PDPT_SHIFT);
    if (!user_present(pdpte) || (pdpte & PTE_LARGE) != 0) return false;
    const uint64_t pde = table_entry(pdpte, addr, PD_SHIFT);
    return user_present(pde) && (pde & PTE_LARGE) != 0;
}

// True when every byte of [addr, addr + len) is readable from ring 3. len > 0.
// Only the identity-mapped first gigabyte is considered, which also keeps
// addr + len from wrapping.
bool user_range_readable(uint64_t addr, uint64_t len) {
    if (addr >= IDENTITY_MAP_END || len > IDENTITY_MAP_END - addr) return false;
    const uint64_t last_page = (addr + len - 1) & ~(LARGE_PAGE_BYTES - 1);
    for (uint64_t page = addr & ~(LARGE_PAGE_BYTES - 1); page <= last_page; page += LARGE_PAGE_BYTES) {
        if (!large_page_open_to_user(page)) return false;
    }
    return true;
}

}  // namespace

extern "C" {

syscall_handler syscall_table[SYSCALL_TABLE_SIZE];
uint64_t current_brk = 0;

void syscall_init() {
    for (auto& slot : syscall_table) slot = nullptr;
    syscall_table[SYS_READ] = sys_read;
    syscall_table[SYS_WRITE] = sys_write;
    syscall_table[SYS_OPEN] = sys_open;
    syscall_table[SYS_CLOSE] = sys_close;
    syscall_table[SYS_BRK] = sys_brk;

    const uint64_t entry = reinterpret_cast<uint64_t>(&syscall_entry);
    cpu_wrmsr(IA32_STAR, STAR_VALUE);
    cpu_wrmsr(IA32_LSTAR, entry);
    cpu_wrmsr(IA32_FMASK, FMASK_VALUE);

    kprintf("[syscall] Initialized SYSCALL interface\n");
    kprintf("[syscall] STAR=0x%x LSTAR=0x%x\n", STAR_VALUE, entry);
}

int64_t syscall_dispatch(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5) {
    if (number >= static_cast<uint64_t>(SYSCALL_TABLE_SIZE) || syscall_table[number] == nullptr) {
        kprintf("[syscall] Unimplemented syscall %d\n", number);
        return SYSCALL_ENOSYS;
    }
    return syscall_table[number](a1, a2, a3, a4, a5);
}

// There is no input source for programs yet: standard input is always at its end.
int64_t sys_read(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    return fd == FD_STDIN ? 0 : -1;
}

int64_t sys_write(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t) {
    if (fd != FD_STDOUT && fd != FD_STDERR) return -1;
    if (count == 0) return 0;
    if (!user_range_readable(buf, count)) return -1;
    const auto* bytes = static_cast<const char*>(phys_ptr(buf));
    for (uint64_t i = 0; i < count; ++i) serial_putc(bytes[i]);
    return static_cast<int64_t>(count);
}

int64_t sys_open(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) {
    kprintf("[syscall] open: not yet implemented\n");
    return -1;
}

int64_t sys_close(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    return fd <= FD_STDERR ? 0 : -1;
}

// The break is only recorded: it never shrinks, and 0 asks for its value. While
// none is recorded (0) the first request is taken as it is, which the single
// comparison covers: a request of 0 leaves it unset and returns 0.
int64_t sys_brk(uint64_t addr, uint64_t, uint64_t, uint64_t, uint64_t) {
    if (addr > current_brk) current_brk = addr;
    return static_cast<int64_t>(current_brk);
}

}  // extern "C"
