// The Linux process start for programs from the disk: the command line split
// into words, and argc, argv, envp and the auxiliary vector laid out from the
// initial stack pointer up, as the x86-64 System V ABI and Linux place them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "elf.h"

constexpr size_t EXEC_MAX_WORDS = 64;
constexpr size_t EXEC_TEXT_BYTES = 256;  // a shell line and its terminator

struct exec_args {
    size_t argc;
    const char* argv[EXEC_MAX_WORDS];  // into text
    char text[EXEC_TEXT_BYTES];
};

constexpr int EXEC_SPLIT_OK = 0;
constexpr int EXEC_UNMATCHED_QUOTE = -1;
constexpr int EXEC_TOO_LONG = -2;  // more words or bytes than a shell line holds

// Splits `line` into words: spaces separate them, and '…' or "…" hold spaces
// (and each other's quote) inside a word; there is no other shell syntax.
int exec_split(const char* line, exec_args* out);

// Writes the program's start: at `top` argc, then argv, envp (empty) and the
// auxiliary vector, with the strings and AT_RANDOM's 16 bytes above them, all
// below `limit`. False, with nothing promised, when they do not fit.
bool exec_build_stack(uint64_t top, uint64_t limit, const exec_args& args, const elf64_load_result& image);
