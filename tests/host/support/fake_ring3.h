#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace fake_ring3 {
struct entry_record {
    uint64_t entry;
    uint64_t user_rsp;
};
void reset();
// What "runs in ring 3" when enter_userspace is called (e.g. system calls).
void set_program(std::function<void()> program);
const std::vector<entry_record>& entries();
}  // namespace fake_ring3
