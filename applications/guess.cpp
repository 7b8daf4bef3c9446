// A number-guessing game that plays itself: a 64-bit linear congruential
// generator picks the secret, and a fixed list of guesses tries to find it.
#include "runtime.h"

// Initialised data, so that every launch starts from the same state.
uint64_t rng_state = 12345;

namespace {

constexpr uint64_t RNG_MULTIPLIER = 6364136223846793005ULL;
constexpr uint64_t RNG_INCREMENT = 1442695040888963407ULL;
constexpr int GUESSES[] = {50, 25, 75, 37, 62, 12, 87, 6};
constexpr int GUESS_COUNT = sizeof GUESSES / sizeof GUESSES[0];
constexpr int RANDOM_COUNT = 5;

uint64_t rng_next() {
    rng_state = rng_state * RNG_MULTIPLIER + RNG_INCREMENT;
    return rng_state;
}

}  // namespace

int main() {
    printf("=== Number Guessing Game ===\n\n");
    printf("I'm thinking of a number between 1 and 100.\n");
    printf("The Tarvelin RNG will pick it for you.\n\n");

    const int secret = static_cast<int>(rng_next() % 100) + 1;
    printf("Secret number: %d\n\n", secret);

    bool found = false;
    for (int attempt = 1; attempt <= GUESS_COUNT; ++attempt) {
        const int guess = GUESSES[attempt - 1];
        printf("  Guess %d: %d ", attempt, guess);
        if (guess == secret) {
            printf("-> CORRECT! Found in %d guesses!\n", attempt);
            found = true;
            break;
        }
        if (secret < guess) {
            printf("-> Too high\n");
        } else {
            printf("-> Too low\n");
        }
    }
    if (!found) {
        printf("\n  Not found in %d guesses. The number was %d.\n", GUESS_COUNT, secret);
    }

    printf("\n=== Statistics ===\n");
    printf("  RNG state: %lx\n", static_cast<unsigned long>(rng_state));
    printf("  Random numbers: ");
    for (int i = 0; i < RANDOM_COUNT; ++i) {
        printf("%ld ", static_cast<long>(rng_next() % 1000));
    }
    printf("\n\nDone!\n");
    return 0;
}
