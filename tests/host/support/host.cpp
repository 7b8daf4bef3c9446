#include "host.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cpu.h"
#include "syscall.h"
#include "tss.h"
#include "idt.h"

uint8_t* host_phys_base = nullptr;
uint64_t host_kernel_end = 0x10A000;  // a plausible end of the kernel image
uint64_t host_interrupt_stack_top = 0x10F000;
extern "C" {
tss64 tss_struct;
extern const uint64_t isr_stub_table[256];
const uint64_t isr_stub_table[256] = {};
void idt_load(const idt_pointer*) {}
void syscall_entry() {}
void enter_userspace(uint64_t, uint64_t) {}
}

namespace host {
std::vector<port_io> ports;
std::map<uint16_t, std::deque<uint16_t>> script;
std::map<uint16_t, uint16_t> fallback;
uint64_t cr3 = 0x1000, cr4 = 0x20;
std::map<uint32_t, uint64_t> msrs;

uint8_t* phys(uint64_t addr) {
    static void* base = mmap(nullptr, PHYS_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) abort();
    return (host_phys_base = static_cast<uint8_t*>(base)) + addr;
}
const bool mapped_before_any_test = phys(0) != nullptr;

void protect(uint64_t addr, uint64_t len, int prot) {
    if (len != 0 && mprotect(phys(addr), len, prot) != 0) abort();
}
bool touched(uint64_t addr, uint64_t len) {
    std::vector<unsigned char> resident(len / 4096);
    if (len != 0 && mincore(phys(addr), len, resident.data()) != 0) abort();
    return std::any_of(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; });
}
void discard(uint64_t addr, uint64_t len) { madvise(phys(addr), len, MADV_DONTNEED); }

void build_boot_tables() {
    auto* t = reinterpret_cast<uint64_t*>(phys(0x1000));
    std::memset(t, 0, 3 * 4096);
    t[0] = 0x2000 | 3, t[512] = 0x3000 | 3, cr3 = 0x1000;
    for (uint64_t i = 0; i < 512; ++i) t[1024 + i] = i << 21 | 0x83;
}

std::vector<port_io> accesses_to(std::initializer_list<uint16_t> which) {
    std::vector<port_io> out;
    std::copy_if(ports.begin(), ports.end(), std::back_inserter(out),
                 [&](const port_io& a) { return std::find(which.begin(), which.end(), a.port) != which.end(); });
    return out;
}

std::string serial() {
    std::string s;
    for (const port_io& a : accesses_to({0x3F8})) s += a.write ? std::string(1, static_cast<char>(a.value)) : "";
    return s;
}

void reset() { ports.clear(), script.clear(), fallback.clear(); }

uint16_t in(uint16_t port, uint16_t all_ones) {
    if (ports.size() >= RECORD_LIMIT) throw runaway{};
    auto& queue = script[port];
    const uint16_t v = !queue.empty() ? queue.front() : fallback.count(port) ? fallback[port] : all_ones;
    if (!queue.empty()) queue.pop_front();
    ports.push_back({port, v, false});
    return v;
}
}  // namespace host

void outb(uint16_t port, uint8_t value) { host::ports.push_back({port, value, true}); }
void outw(uint16_t port, uint16_t value) { host::ports.push_back({port, value, true}); }
uint8_t inb(uint16_t port) { return static_cast<uint8_t>(host::in(port, 0xFF)); }
uint16_t inw(uint16_t port) { return host::in(port, 0xFFFF); }

cpuid_regs cpu_cpuid(uint32_t) { return {0, 0, 0, 0}; }
uint64_t cpu_read_cr0() { return 0x80000011; }
uint64_t cpu_read_cr2() { return 0; }
uint64_t cpu_read_cr3() { return host::cr3; }
uint64_t cpu_read_cr4() { return host::cr4; }
void cpu_write_cr4(uint64_t value) { host::cr4 = value; }
void cpu_write_cr3(uint64_t value) { host::cr3 = value; }
uint64_t cpu_read_rsp() { return 0x104FA0; }
void cpu_wrmsr(uint32_t msr, uint64_t value) { host::msrs[msr] = value; }
uint64_t cpu_rdmsr(uint32_t msr) { return host::msrs[msr]; }
// A millisecond or so at every read, so that a wait bounded in time ends after some hundreds of polls.
uint64_t cpu_rdtsc() { static uint64_t tsc; return tsc += 1 << 22; }
void cpu_pause() {}
void cpu_enable_interrupts() {}
void cpu_disable_interrupts() {}
void cpu_enable_and_halt() {}
void cpu_halt_forever() { throw host::halted{}; }
void cpu_breakpoint() {}
