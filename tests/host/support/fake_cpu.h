// A scripted processor for host tests: CPUID answers, control registers and MSRs
// are plain values, and halting is observable.
#pragma once
#include <cstdint>
#include <functional>
#include <map>

#include "cpu.h"

// Thrown by cpu_halt_forever so a test can see that the kernel stopped for good.
struct machine_halted {};

namespace fake_cpu {
void reset();
void set_cpuid(uint32_t leaf, cpuid_regs regs);
void set_cr(int n, uint64_t value);
uint64_t cr(int n);
uint64_t msr(uint32_t index);
bool msr_written(uint32_t index);
bool interrupts_enabled();
int halts();            // number of single hlt instructions executed
int breakpoints();
// Called at each single hlt (the shell's idle wait); a test uses it to deliver
// input or stop a loop that would otherwise never end.
void on_halt(std::function<void()> hook);
}  // namespace fake_cpu
