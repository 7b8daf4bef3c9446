#include "fake_cpu.h"

namespace {
std::map<uint32_t, cpuid_regs> g_cpuid;
std::map<uint32_t, uint64_t> g_msr;
uint64_t g_cr[5];
bool g_if;
int g_halts;
int g_breakpoints;
std::function<void()> g_on_halt;
}  // namespace

namespace fake_cpu {
void reset() {
    g_cpuid.clear();
    g_msr.clear();
    for (auto& c : g_cr) c = 0;
    g_cr[0] = 0x80000011;
    g_cr[3] = 0x1000;
    g_cr[4] = 0x20;
    g_if = false;
    g_halts = 0;
    g_breakpoints = 0;
    g_on_halt = nullptr;
}
void set_cpuid(uint32_t leaf, cpuid_regs regs) { g_cpuid[leaf] = regs; }
void set_cr(int n, uint64_t value) { g_cr[n] = value; }
uint64_t cr(int n) { return g_cr[n]; }
uint64_t msr(uint32_t index) { return g_msr.count(index) ? g_msr[index] : 0; }
bool msr_written(uint32_t index) { return g_msr.count(index) != 0; }
bool interrupts_enabled() { return g_if; }
int halts() { return g_halts; }
int breakpoints() { return g_breakpoints; }
void on_halt(std::function<void()> hook) { g_on_halt = std::move(hook); }
}  // namespace fake_cpu

cpuid_regs cpu_cpuid(uint32_t leaf) {
    auto it = g_cpuid.find(leaf);
    return it == g_cpuid.end() ? cpuid_regs{0, 0, 0, 0} : it->second;
}
uint64_t cpu_read_cr0() { return g_cr[0]; }
uint64_t cpu_read_cr2() { return g_cr[2]; }
uint64_t cpu_read_cr3() { return g_cr[3]; }
uint64_t cpu_read_cr4() { return g_cr[4]; }
void cpu_write_cr3(uint64_t value) { g_cr[3] = value; }
uint64_t cpu_read_rsp() { return 0x104FA0; }
void cpu_wrmsr(uint32_t msr, uint64_t value) { g_msr[msr] = value; }
uint64_t cpu_rdmsr(uint32_t msr) { return fake_cpu::msr(msr); }
void cpu_enable_interrupts() { g_if = true; }
void cpu_disable_interrupts() { g_if = false; }
void cpu_enable_and_halt() {
    g_if = true;
    ++g_halts;
    if (g_on_halt) g_on_halt();
}
void cpu_halt_forever() {
    g_if = false;
    throw machine_halted{};
}
void cpu_breakpoint() { ++g_breakpoints; }
