// Time for programs and time bounds for drivers' waits: the time-stamp counter,
// its rate measured against the interval timer at start-up, and the date the
// CMOS clock gave then.
#pragma once
#include <cstdint>

constexpr uint64_t NSEC_PER_SEC = 1000000000;

// After timer_init: measures the counter's rate and reads the CMOS clock. Prints
// nothing, and gives up on a timer or clock that does not answer.
void clock_init();
// The counter's value `ms` milliseconds from now, and whether that has come.
uint64_t clock_deadline_ms(uint64_t ms);
bool clock_passed(uint64_t deadline);
// Before each launch: the program's CPU-time clocks start from here.
void clock_begin_run();

// The CMOS clock's registers as read: date and time in its own encoding, the
// century register and status register B, which says which encoding it is.
struct rtc_registers {
    uint8_t second, minute, hour, day, month, year, century, status_b;
    bool operator==(const rtc_registers&) const = default;
};
// Seconds since 1970-01-01 00:00 UTC, or -1 when the registers hold no date
// from 1970 on.
int64_t rtc_to_unix(const rtc_registers& r);

int64_t sys_nanosleep(uint64_t req, uint64_t rem, uint64_t, uint64_t, uint64_t);
int64_t sys_gettimeofday(uint64_t tv, uint64_t tz, uint64_t, uint64_t, uint64_t);
int64_t sys_time(uint64_t tloc, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_clock_gettime(uint64_t id, uint64_t tp, uint64_t, uint64_t, uint64_t);
int64_t sys_clock_getres(uint64_t id, uint64_t res, uint64_t, uint64_t, uint64_t);
int64_t sys_clock_nanosleep(uint64_t id, uint64_t flags, uint64_t req, uint64_t rem, uint64_t);
