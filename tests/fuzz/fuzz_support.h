// A check that stops a fuzz run, under the fuzzer and in the replay alike.
#pragma once
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

#include "host.h"

#define FUZZ_CHECK(cond) \
    ((cond) ? (void)0 : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), std::abort()))
