// The guessing game with the user runtime on the host, started from chosen
// generator states: the secret drawn, the answers to each guess, the early end
// on a hit, and the exit status.
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

// The shipped state 12345 (every guess too low) is the system tests' case; these
// states reach the other answers.
TEST_F(guess, answers_follow_the_secret_and_a_hit_ends_the_guessing) {
    // State 140 gives secret 40, between the guesses: the answers alternate.
    EXPECT_EQ(play(140), HEADER +
                             "Secret number: 40\n\n"
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
                             "  RNG state: 60d70444d9290deb\n"
                             "  Random numbers: 774 477 848 735 618 \n"
                             "\nDone!\n");
    // State 67 steps to secret 75, the third guess; 110 gives 50, the first.
    EXPECT_EQ(play(67), HEADER +
                            "Secret number: 75\n\n"
                            "  Guess 1: 50 -> Too low\n"
                            "  Guess 2: 25 -> Too low\n"
                            "  Guess 3: 75 -> CORRECT! Found in 3 guesses!\n"
                            "\n=== Statistics ===\n"
                            "  RNG state: 3178635a0287ca16\n"
                            "  Random numbers: 685 384 599 530 905 \n"
                            "\nDone!\n");
    EXPECT_NE(play(110).find("Secret number: 50\n\n"
                             "  Guess 1: 50 -> CORRECT! Found in 1 guesses!\n"
                             "\n=== Statistics ===\n"),
              std::string::npos);
}
