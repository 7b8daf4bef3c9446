// The user runtime (applications/start.cpp) compiled into a host test program.
// Its public names are renamed to rt_* (rt_printf, rt_malloc, rt_write, ...) so
// that they never replace the test process's own printf, malloc or write, and
// its system calls go to a recorder instead of the SYSCALL instruction. The
// program's main is rt_main, which the test defines. Include this header in
// exactly one file of a test program: it defines the recorder. A user program
// built into the same test goes between user_runtime_names.h and
// user_runtime_names_end.h, so that it calls the renamed runtime.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define TARVELIN_RUNTIME_HOST
#include "user_runtime_names.h"
#include "../../../applications/start.cpp"
#include "user_runtime_names_end.h"

namespace user_runtime {

// One system call as the runtime issued it; `data` holds the bytes of a write.
struct syscall_record {
    uint64_t number;
    uint64_t a1;
    uint64_t a2;
    uint64_t a3;
    std::string data;
};

// Thrown by the recorder for call 60, so that exit leaves the program's code
// the way the kernel's return to the shell does.
struct program_exit {
    uint64_t status;
};

inline std::vector<syscall_record> calls;
// When set, every call returns this instead of the kernel's usual answer.
inline bool override_result = false;
inline int64_t result_override = 0;

// A fresh program: no calls seen, allocator words zero as after loading, the
// image ending at `end`.
inline void reset(uint64_t end) {
    calls.clear();
    override_result = false;
    heap_start = heap_current = heap_end = 0;
    runtime_host_image_end = end;
}

// The writes to descriptor 1, one string per call.
inline std::vector<std::string> writes() {
    std::vector<std::string> list;
    for (const auto& c : calls)
        if (c.number == 1 && c.a1 == 1) list.push_back(c.data);
    return list;
}
inline std::string output() {
    std::string all;
    for (const auto& w : writes()) all += w;
    return all;
}
inline size_t count_calls(uint64_t number) {
    size_t n = 0;
    for (const auto& c : calls) n += c.number == number;
    return n;
}

}  // namespace user_runtime

uint64_t runtime_host_image_end = 0x404000;

// Answers as the kernel does: write returns its count, read 0, brk the address.
extern "C" int64_t runtime_host_syscall(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3) {
    user_runtime::syscall_record record{number, a1, a2, a3, {}};
    if (number == 1) record.data.assign(reinterpret_cast<const char*>(a2), a3);
    user_runtime::calls.push_back(record);
    if (number == 60) throw user_runtime::program_exit{a1};
    if (user_runtime::override_result) return user_runtime::result_override;
    return number == 1 ? static_cast<int64_t>(a3) : number == 12 ? static_cast<int64_t>(a1) : 0;
}
