// The command shell: greeting, line editor, dispatcher and every command.
#pragma once
#include <cstdint>

extern "C" {
void shell_init();
[[noreturn]] void shell_run();
// One prompt, one edited line from `next_char` and the command it names;
// shell_run repeats it over the console input.
void shell_once(int (*next_char)());
void cmd_run_elf(const uint8_t* image, uint32_t length, const char* name);
void pt_make_user_accessible(uint64_t addr);
// Prints one root-directory entry for `mount`.
void dir_list_cb(const char* name, uint32_t name_len, uint32_t ino, uint32_t file_type, void* user);
}
