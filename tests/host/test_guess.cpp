// The guessing game with the user runtime on the host, started from chosen
// generator states: the secret drawn, the answers to each fixed guess, the early
// end on a hit, and the exit status.
#include <gtest/gtest.h>

#include "user_runtime_host.h"

#include "user_runtime_names.h"
#undef main
#define main guess_main
#include "../../applications/guess.cpp"
#include "user_runtime_names_end.h"

int rt_main(int, char**) { return guess_main(); }

namespace {

const std::string HEADER =
    "=== Number Guessing Game ===\n\n"
    "I'm thinking of a number between 1 and 100.\n"
    "The Tarvelin RNG will pick it for you.\n\n";

class guess : public ::testing::Test {
protected:
    // Runs the program from `state` as _start would; returns what it printed.
    std::string play(uint64_t state) {
        user_runtime::reset(0x402018);
        rng_state = state;
        try {
            start_main();
            ADD_FAILURE() << "start_main returned";
        } catch (const user_runtime::program_exit& e) {
            EXPECT_EQ(e.status, 0u);
        }
        return user_runtime::output();
    }
};

}  // namespace

TEST_F(guess, initial_state_misses_all_eight_times) {
    EXPECT_EQ(play(12345),
              HEADER +
                  "Secret number: 89\n\n"
                  "  Guess 1: 50 -> Too low\n"
                  "  Guess 2: 25 -> Too low\n"
                  "  Guess 3: 75 -> Too low\n"
                  "  Guess 4: 37 -> Too low\n"
                  "  Guess 5: 62 -> Too low\n"
                  "  Guess 6: 12 -> Too low\n"
                  "  Guess 7: 87 -> Too low\n"
                  "  Guess 8: 6 -> Too low\n"
                  "\n  Not found in 8 guesses. The number was 89.\n"
                  "\n=== Statistics ===\n"
                  "  RNG state: 1c0d57f10c894254\n"
                  "  Random numbers: 923 62 277 304 775 \n"
                  "\nDone!\n");
}

// State 67 steps to 0x3178635a0287ca16: mod 100 is 74, secret 75.
TEST_F(guess, a_hit_on_the_third_guess_goes_straight_to_the_statistics) {
    const std::string out = play(67);
    const std::string expected_start = HEADER +
                                       "Secret number: 75\n\n"
                                       "  Guess 1: 50 -> Too low\n"
                                       "  Guess 2: 25 -> Too low\n"
                                       "  Guess 3: 75 -> CORRECT! Found in 3 guesses!\n"
                                       "\n=== Statistics ===\n"
                                       "  RNG state: 3178635a0287ca16\n"
                                       "  Random numbers: ";
    EXPECT_EQ(out.substr(0, expected_start.size()), expected_start);
    EXPECT_EQ(out.find("Not found"), std::string::npos);
}

// State 140 gives secret 40, between the guesses: the answers alternate.
TEST_F(guess, answers_follow_the_secret_not_the_earlier_answers) {
    const std::string out = play(140);
    EXPECT_NE(out.find("Secret number: 40\n\n"
                       "  Guess 1: 50 -> Too high\n"
                       "  Guess 2: 25 -> Too low\n"
                       "  Guess 3: 75 -> Too high\n"
                       "  Guess 4: 37 -> Too low\n"
                       "  Guess 5: 62 -> Too high\n"
                       "  Guess 6: 12 -> Too low\n"
                       "  Guess 7: 87 -> Too high\n"
                       "  Guess 8: 6 -> Too low\n"
                       "\n  Not found in 8 guesses. The number was 40.\n"
                       "\n=== Statistics ===\n"
                       "  RNG state: 60d70444d9290deb\n"),
              std::string::npos)
        << out;
}

// State 6 gives secret 6, the last guess; state 110 gives 50, the first.
TEST_F(guess, hits_on_the_first_and_the_last_guess) {
    EXPECT_NE(play(6).find("  Guess 7: 87 -> Too high\n"
                           "  Guess 8: 6 -> CORRECT! Found in 8 guesses!\n"
                           "\n=== Statistics ===\n"),
              std::string::npos);
    EXPECT_NE(play(110).find("Secret number: 50\n\n"
                             "  Guess 1: 50 -> CORRECT! Found in 1 guesses!\n"
                             "\n=== Statistics ===\n"),
              std::string::npos);
}

// State 21 gives secret 1, below every guess.
TEST_F(guess, a_secret_below_every_guess_is_too_high_each_time) {
    const std::string out = play(21);
    size_t n = 0;
    for (size_t pos = out.find("-> Too high\n"); pos != std::string::npos;
         pos = out.find("-> Too high\n", pos + 1)) {
        ++n;
    }
    EXPECT_EQ(n, 8u);
    EXPECT_NE(out.find("The number was 1.\n"), std::string::npos);
}
