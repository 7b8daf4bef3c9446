// Invariants that fail loudly. KASSERT is for rules a kernel caller must keep
// (a vector outside the table, a timer rate whose divisor does not fit): a broken
// one is a bug in the kernel, reported with its place and the machine stopped,
// instead of being dropped without a word or crashing somewhere else later.
// Input from outside (a disk, a program, a typed line) never goes through it:
// that gets a message and a refusal. Host builds abort, so the unit tests and
// the fuzz targets see a broken rule as the failure it is.
#pragma once

[[noreturn]] void kassert_fail(const char* file, int line, const char* expression);

#define KASSERT(expression) \
    ((expression) ? static_cast<void>(0) : kassert_fail(__FILE_NAME__, __LINE__, #expression))
