// Prints the first twenty Fibonacci numbers, F(0) to F(19), in 64-bit arithmetic.
#include "runtime.h"

namespace {
constexpr int COUNT = 20;
}

int main() {
    int64_t fib[COUNT];
    fib[0] = 0;
    fib[1] = 1;
    for (int i = 2; i < COUNT; ++i) {
        fib[i] = fib[i - 1] + fib[i - 2];
    }

    printf("=== Fibonacci Sequence ===\n");
    printf("Computing first 20 Fibonacci numbers:\n\n");
    for (int i = 0; i < COUNT; ++i) {
        printf("  F(%2d) = %ld\n", i, fib[i]);
    }
    printf("\nDone!\n");
    return 0;
}
