// Processor primitives: CPUID, control registers, MSRs, the time-stamp counter,
// interrupt flag, halt.
// Host builds declare them only; the unit tests supply a scripted processor
// (tests/host/support) so that code reading CR3 or writing MSRs can run there.
#pragma once
#include <cstdint>

struct cpuid_regs {
    uint32_t eax, ebx, ecx, edx;
};

#ifdef TARVELIN_HOST
cpuid_regs cpu_cpuid(uint32_t leaf);
uint64_t cpu_read_cr0();
uint64_t cpu_read_cr2();
uint64_t cpu_read_cr3();
uint64_t cpu_read_cr4();
void cpu_write_cr3(uint64_t value);
void cpu_write_cr4(uint64_t value);
uint64_t cpu_read_rsp();
void cpu_wrmsr(uint32_t msr, uint64_t value);
uint64_t cpu_rdmsr(uint32_t msr);
uint64_t cpu_rdtsc();
void cpu_pause();  // the spin-wait hint
void cpu_enable_interrupts();
void cpu_disable_interrupts();
void cpu_enable_and_halt();        // sti; hlt: waits for the next interrupt
[[noreturn]] void cpu_halt_forever();  // interrupts off, halt for good
void cpu_breakpoint();
#else
inline cpuid_regs cpu_cpuid(uint32_t leaf) {
    cpuid_regs r;
    asm volatile("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(0));
    return r;
}
inline uint64_t cpu_read_cr0() { uint64_t v; asm volatile("mov %%cr0, %0" : "=r"(v)); return v; }
inline uint64_t cpu_read_cr2() { uint64_t v; asm volatile("mov %%cr2, %0" : "=r"(v)); return v; }
inline uint64_t cpu_read_cr3() { uint64_t v; asm volatile("mov %%cr3, %0" : "=r"(v)); return v; }
inline uint64_t cpu_read_cr4() { uint64_t v; asm volatile("mov %%cr4, %0" : "=r"(v)); return v; }
inline void cpu_write_cr3(uint64_t v) { asm volatile("mov %0, %%cr3" : : "r"(v) : "memory"); }
inline void cpu_write_cr4(uint64_t v) { asm volatile("mov %0, %%cr4" : : "r"(v) : "memory"); }
inline uint64_t cpu_read_rsp() { uint64_t v; asm volatile("mov %%rsp, %0" : "=r"(v)); return v; }
inline void cpu_wrmsr(uint32_t msr, uint64_t value) {
    asm volatile("wrmsr" : : "c"(msr), "a"(static_cast<uint32_t>(value)),
                 "d"(static_cast<uint32_t>(value >> 32)) : "memory");
}
inline uint64_t cpu_rdmsr(uint32_t msr) {
    uint32_t lo, hi;
    asm volatile("rdmsr" : "=a"(lo), "=d"(hi) : "c"(msr));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}
inline uint64_t cpu_rdtsc() {
    uint32_t lo, hi;
    asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}
inline void cpu_pause() { asm volatile("pause"); }
inline void cpu_enable_interrupts() { asm volatile("sti" : : : "memory"); }
inline void cpu_disable_interrupts() { asm volatile("cli" : : : "memory"); }
// sti takes effect after the next instruction, so an interrupt that arrives once
// the caller has looked for work with interrupts off still ends this hlt.
inline void cpu_enable_and_halt() { asm volatile("sti; hlt" : : : "memory"); }
[[noreturn]] inline void cpu_halt_forever() {
    for (;;) asm volatile("cli; hlt" : : : "memory");
}
inline void cpu_breakpoint() { asm volatile("int3" : : : "memory"); }
#endif
