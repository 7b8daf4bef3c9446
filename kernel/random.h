// Random bytes for programs (AT_RANDOM, getrandom): the processor's RDRAND
// where it has one, else a generator that mixes the time-stamp counter.
#pragma once
#include <cstdint>

void random_fill(void* dst, uint64_t n);
