// Linux's error numbers, which system calls return negated (-KEFAULT). The K
// keeps them apart from the C library's macros of the same names, which host
// builds of the kernel also see.
#pragma once
#include <cstdint>

constexpr int64_t KEPERM = 1;
constexpr int64_t KENOENT = 2;
constexpr int64_t KESRCH = 3;
constexpr int64_t KEIO = 5;
constexpr int64_t KEBADF = 9;
constexpr int64_t KEAGAIN = 11;
constexpr int64_t KENOMEM = 12;
constexpr int64_t KEACCES = 13;
constexpr int64_t KEFAULT = 14;
constexpr int64_t KEEXIST = 17;
constexpr int64_t KENODEV = 19;
constexpr int64_t KENOTDIR = 20;
constexpr int64_t KEISDIR = 21;
constexpr int64_t KEINVAL = 22;
constexpr int64_t KEMFILE = 24;
constexpr int64_t KENOTTY = 25;
constexpr int64_t KESPIPE = 29;
constexpr int64_t KEROFS = 30;
constexpr int64_t KERANGE = 34;
constexpr int64_t KEDEADLK = 35;
constexpr int64_t KENAMETOOLONG = 36;
constexpr int64_t KENOSYS = 38;
constexpr int64_t KELOOP = 40;
constexpr int64_t KEOPNOTSUPP = 95;
