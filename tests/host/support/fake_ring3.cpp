// Stand-ins for what the assembly provides around ring 3: the TSS, the
// interrupt stack, and enter_userspace, which here runs a test-supplied
// "program" instead of dropping to ring 3.
#include "fake_ring3.h"

#include "gdt.h"

extern "C" {
tss64 tss_struct;
uint64_t host_interrupt_stack_top = 0x10F000;
}

namespace {
std::vector<fake_ring3::entry_record> g_entries;
std::function<void()> g_program;
}  // namespace

namespace fake_ring3 {
void reset() {
    g_entries.clear();
    g_program = nullptr;
    tss_struct = tss64{};
}
void set_program(std::function<void()> program) { g_program = std::move(program); }
const std::vector<entry_record>& entries() { return g_entries; }
}  // namespace fake_ring3

extern "C" void enter_userspace(uint64_t entry, uint64_t user_rsp) {
    g_entries.push_back({entry, user_rsp});
    if (g_program) g_program();
}
