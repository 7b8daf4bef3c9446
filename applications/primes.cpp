// Lists the primes up to 100 with the sieve of Eratosthenes.
#include "runtime.h"

namespace {
constexpr int LIMIT = 100;
}

int main() {
    printf("=== Prime Numbers (Sieve of Eratosthenes) ===\n");
    printf("Primes up to %d:\n\n  ", LIMIT);

    // One flag per number 0..LIMIT: 1 while the number may still be prime.
    uint8_t candidate[LIMIT + 1];
    memset(candidate, 1, sizeof candidate);
    candidate[0] = 0;
    candidate[1] = 0;
    for (int i = 2; i * i <= LIMIT; ++i) {
        if (candidate[i]) {
            for (int multiple = i * i; multiple <= LIMIT; multiple += i) {
                candidate[multiple] = 0;
            }
        }
    }

    int count = 0;
    for (int n = 2; n <= LIMIT; ++n) {
        if (candidate[n]) {
            printf("%d ", n);
            ++count;
        }
    }
    printf("\n\nTotal: %d primes found.\n", count);
    return 0;
}
