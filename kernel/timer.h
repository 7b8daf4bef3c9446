// Channel 0 of the 8254 PIT: periodic interrupts counted as ticks and seconds.
#pragma once
#include <cstdint>

#include "idt.h"

constexpr uint32_t TIMER_HZ = 100;
constexpr uint32_t PIT_INPUT_HZ = 1193182;  // the rate channel 0 counts down at

void timer_init(uint32_t freq);
void timer_isr(interrupt_frame* frame);
uint64_t timer_get_ticks();
uint64_t timer_get_seconds();
// Channel 0's count as it stands: from timer_divisor() down to 1, then again.
uint32_t timer_read_count();
uint32_t timer_divisor();
