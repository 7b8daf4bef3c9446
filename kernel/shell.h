// The command shell: greeting, line editor, dispatcher and every command.
#pragma once
#include <cstdint>

#include "exec.h"

// One byte of input and where it came from: escape sequences are a terminal's,
// so only serial bytes are taken as such.
struct shell_input {
    int c;
    bool serial;
};

void shell_init();
[[noreturn]] void shell_run();
// One prompt, one edited line from `next` and the command it names; shell_run
// repeats it over the console input.
void shell_once(shell_input (*next)());
// The i-th word of the command table and whether a line need only start with it,
// or nullptr past the last: for a checker that must know every command there is.
const char* shell_command_word(uint32_t i, bool* prefix);
// Loads and runs one program to its exit. A program from the disk gets `args`
// as its Linux process start; a carried one (null) finds an empty stack.
void cmd_run_elf(const uint8_t* image, uint32_t length, const char* name, const exec_args* args = nullptr);
// Prints one root-directory entry for `mount`.
void dir_list_cb(const char* name, uint32_t name_len, uint32_t ino, uint32_t file_type, void* user);
