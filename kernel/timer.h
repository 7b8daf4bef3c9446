// Channel 0 of the 8254 PIT: periodic interrupts counted as ticks and seconds.
#pragma once
#include <cstdint>

#include "idt.h"

constexpr uint32_t TIMER_HZ = 100;

void timer_init(uint32_t freq);
void timer_isr(interrupt_frame* frame);
uint64_t timer_get_ticks();
uint64_t timer_get_seconds();
