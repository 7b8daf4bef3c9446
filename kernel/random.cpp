// Random bytes for programs. Nothing here is fit for keys: the C libraries use
// these bytes for their stack guard, pointer mangling and hash seeds, where
// what matters is that a program cannot guess them in advance. RDRAND gives
// that where the processor has it; elsewhere (QEMU's qemu64 model) the cycle
// counter read at each call, run through a mixing function, has to do.
#include "random.h"

#include "cpu.h"

namespace {

constexpr uint32_t CPUID_FEATURES = 1;
constexpr uint32_t ECX_RDRAND = 1u << 30;
constexpr int RDRAND_TRIES = 10;  // the manufacturer's advice for a transient failure

uint64_t mix_state = 0;

// splitmix64's finaliser: every input bit reaches every output bit.
uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool rdrand(uint64_t& out) {
#ifdef TARVELIN_HOST
    (void)out;
    return false;
#else
    static const bool present = (cpu_cpuid(CPUID_FEATURES).ecx & ECX_RDRAND) != 0;
    if (!present) return false;
    for (int i = 0; i < RDRAND_TRIES; ++i) {
        uint8_t ok;
        asm volatile("rdrand %0; setc %1" : "=r"(out), "=qm"(ok) : : "cc");
        if (ok != 0) return true;
    }
    return false;
#endif
}

uint64_t next_word() {
    uint64_t word;
    if (rdrand(word)) return word;
    mix_state += 0x9E3779B97F4A7C15ull + __builtin_ia32_rdtsc();
    return mix(mix_state);
}

}  // namespace

void random_fill(void* dst, uint64_t n) {
    auto* out = static_cast<uint8_t*>(dst);
    while (n > 0) {
        const uint64_t word = next_word();
        for (int i = 0; i < 8 && n > 0; ++i, --n) *out++ = static_cast<uint8_t>(word >> (8 * i));
    }
}
