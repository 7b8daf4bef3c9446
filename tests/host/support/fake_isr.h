// The assembly side of interrupt entry, as host tests see it: a stub table of
// made-up addresses whose three address fields all differ, and an idt_load that
// records each operand instead of executing lidt.
#pragma once
#include <cstdint>

#include "idt.h"

extern "C" const uint64_t isr_stub_table[256];

namespace fake_isr {
int loads();                 // idt_load calls so far
idt_pointer last_operand();  // copy of what the last call pointed at
void reset();
}  // namespace fake_isr
