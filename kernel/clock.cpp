// The time-stamp counter as the one source of time, and the system calls that
// tell it to programs.
//
// The counter runs on at a fixed rate whether interrupts arrive or not: a program
// runs with the timer's line closed, a system call with interrupts off, and a
// tick count would stand still through both. So the timer serves once, at
// start-up, as the reference the counter's rate is measured against, and the
// CMOS clock once, for the date. Monotonic time is the counter since start-up;
// real time is the CMOS clock's reading plus the counter since that reading.
// The module owns the five values below, written by clock_init (and the run's
// start by clock_begin_run) and only read afterwards.
#include "clock.h"

#include "cpu.h"
#include "errno.h"
#include "io.h"
#include "paging.h"
#include "timer.h"

namespace {

// 2 ms of the timer's counts, three times, keeping the median rate: a stall of
// a whole timer period between two reads (an emulator descheduled) hides a
// reload and makes one round's rate too high. Before them a short round whose
// result is dropped: an emulator translating the code on its first run stalls
// between a count and its counter reading, and that round came out 0.3% low.
constexpr uint32_t CALIBRATION_COUNTS = PIT_INPUT_HZ / 500;
constexpr uint32_t WARM_UP_COUNTS = CALIBRATION_COUNTS / 8;
constexpr int CALIBRATION_ROUNDS = 3;
// Bound of one round in reads of the timer: 2 ms take a few thousand even at
// the microsecond a read costs on real hardware.
constexpr uint32_t CALIBRATION_READS = 100000;
// The upper bound also keeps the conversions below within 64 bits.
constexpr uint64_t MIN_PLAUSIBLE_HZ = 100000000;
constexpr uint64_t MAX_PLAUSIBLE_HZ = 10000000000;
// Without a timer to measure against, a guess on the fast side: too high a
// rate only lengthens sleeps and driver waits, too low would cut them short.
constexpr uint64_t FALLBACK_HZ = 4000000000;

constexpr uint16_t CMOS_INDEX = 0x70;  // bit 7 clear: NMIs stay enabled
constexpr uint16_t CMOS_DATA = 0x71;
constexpr uint8_t RTC_SECONDS = 0x00, RTC_MINUTES = 0x02, RTC_HOURS = 0x04, RTC_DAY = 0x07, RTC_MONTH = 0x08,
                  RTC_YEAR = 0x09, RTC_STATUS_A = 0x0A, RTC_STATUS_B = 0x0B, RTC_CENTURY = 0x32;
constexpr uint8_t RTC_UPDATING = 0x80;  // status A: the registers are about to change
constexpr uint8_t RTC_BINARY = 0x04;    // status B: binary, not BCD
constexpr uint8_t RTC_24_HOUR = 0x02;   // status B: 24-hour, not 12 with bit 7 for PM
constexpr uint8_t RTC_PM = 0x80;
// An update takes about 2 ms once a second; a CMOS read costs about a microsecond.
constexpr int RTC_UPDATE_POLLS = 100000;
constexpr int RTC_SAMPLES = 5;
// The century register is no standard; where it holds nothing sensible the
// year is taken to be in 20xx.
constexpr uint32_t MIN_CENTURY = 19, MAX_CENTURY = 29, DEFAULT_CENTURY = 20;

constexpr uint64_t SECONDS_PER_DAY = 86400;
constexpr uint64_t TIMER_ABSTIME = 1;

enum class clock_id : uint32_t {
    realtime, monotonic, process_cputime, thread_cputime, monotonic_raw, realtime_coarse, monotonic_coarse, boottime
};

struct linux_timespec {
    int64_t tv_sec, tv_nsec;
};
struct linux_timeval {
    int64_t tv_sec, tv_usec;
};
static_assert(sizeof(linux_timespec) == 16 && sizeof(linux_timeval) == 16);

}  // namespace

// Plain file-level names, so that the symbol table shows them for a debugger or
// a memory read from outside. Before clock_init (host builds) the counter counts
// from 0 at the fallback rate.
static uint64_t clock_tsc_hz = FALLBACK_HZ;
static uint64_t clock_boot_tsc;
static uint64_t clock_rtc_seconds;  // since 1970, as the CMOS clock said at start-up
static uint64_t clock_rtc_tsc;      // the counter at that reading
static uint64_t clock_run_tsc;      // the counter as the running program started

namespace {

uint64_t ns_from_ticks(uint64_t ticks) {
    return ticks / clock_tsc_hz * NSEC_PER_SEC + ticks % clock_tsc_hz * NSEC_PER_SEC / clock_tsc_hz;
}

// Saturates: a sleep of centuries becomes one that never ends, not a short one.
uint64_t ticks_from(uint64_t sec, uint64_t nsec) {
    if (sec >= UINT64_MAX / clock_tsc_hz - 1) return UINT64_MAX;
    return sec * clock_tsc_hz + nsec * clock_tsc_hz / NSEC_PER_SEC;
}

uint64_t after(uint64_t ticks) {
    const uint64_t now = cpu_rdtsc();
    return now > UINT64_MAX - ticks ? UINT64_MAX : now + ticks;
}

// One round: counter ticks per second, or 0 when the timer does not count as
// channel 0 in mode 2 does, from the divisor down to 1 and again.
uint64_t measure_round(uint32_t counts) {
    const uint32_t reload = timer_divisor();
    uint32_t previous = timer_read_count();
    const uint64_t start = cpu_rdtsc();
    uint64_t end = start, counted = 0;
    for (uint32_t i = 0; i < CALIBRATION_READS && counted < counts; ++i) {
        const uint32_t count = timer_read_count();
        end = cpu_rdtsc();
        if (count == 0 || count > reload) return 0;
        counted += count <= previous ? previous - count : previous + reload - count;
        previous = count;
    }
    return counted < counts ? 0 : (end - start) * PIT_INPUT_HZ / counted;
}

// The median of the plausible rounds (with two, the lower), in ascending order.
uint64_t measure_tsc_hz() {
    (void)measure_round(WARM_UP_COUNTS);
    uint64_t rates[CALIBRATION_ROUNDS];
    int n = 0;
    for (int round = 0; round < CALIBRATION_ROUNDS; ++round) {
        const uint64_t hz = measure_round(CALIBRATION_COUNTS);
        if (hz < MIN_PLAUSIBLE_HZ || hz > MAX_PLAUSIBLE_HZ) continue;
        int i = n++;
        for (; i > 0 && rates[i - 1] > hz; --i) rates[i] = rates[i - 1];
        rates[i] = hz;
    }
    return n != 0 ? rates[(n - 1) / 2] : FALLBACK_HZ;
}

uint8_t cmos_read(uint8_t reg) {
    outb(CMOS_INDEX, reg);
    return inb(CMOS_DATA);
}

rtc_registers rtc_sample() {
    for (int i = 0; i < RTC_UPDATE_POLLS && (cmos_read(RTC_STATUS_A) & RTC_UPDATING) != 0; ++i) {
    }
    return {cmos_read(RTC_SECONDS), cmos_read(RTC_MINUTES), cmos_read(RTC_HOURS), cmos_read(RTC_DAY),
            cmos_read(RTC_MONTH),   cmos_read(RTC_YEAR),    cmos_read(RTC_CENTURY), cmos_read(RTC_STATUS_B)};
}

// An update may still begin between the wait and the last read; two samples
// alike were both read clear of one.
rtc_registers rtc_read() {
    rtc_registers last = rtc_sample();
    for (int i = 0; i < RTC_SAMPLES; ++i) {
        const rtc_registers next = rtc_sample();
        if (next == last) break;
        last = next;
    }
    return last;
}

// Days from 1970-01-01 to a date from 1900 on: eras of 400 years (146097 days)
// counted from 1 March, so that a leap day ends its year.
int64_t days_from_civil(int64_t year, uint32_t month, uint32_t day) {
    year -= month <= 2;
    const int64_t era = year / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

uint64_t realtime_ns(uint64_t now) { return clock_rtc_seconds * NSEC_PER_SEC + ns_from_ticks(now - clock_rtc_tsc); }

// Clock `id` in nanoseconds; false for a clock there is not. A program's CPU
// time is its time since it started: it has the processor to itself.
bool clock_read(uint64_t id, uint64_t& ns) {
    const uint64_t now = cpu_rdtsc();
    switch (static_cast<clock_id>(id)) {
    case clock_id::realtime:
    case clock_id::realtime_coarse:
        ns = realtime_ns(now);
        return true;
    case clock_id::monotonic:
    case clock_id::monotonic_raw:
    case clock_id::monotonic_coarse:
    case clock_id::boottime:
        ns = ns_from_ticks(now - clock_boot_tsc);
        return true;
    case clock_id::process_cputime:
    case clock_id::thread_cputime:
        ns = ns_from_ticks(now - clock_run_tsc);
        return true;
    }
    return false;
}

// A timespec argument, checked as Linux checks one: 0, or the error.
int64_t read_timespec(uint64_t addr, linux_timespec& ts) {
    if (!copy_from_user(&ts, addr, sizeof ts)) return -KEFAULT;
    return ts.tv_sec < 0 || static_cast<uint64_t>(ts.tv_nsec) >= NSEC_PER_SEC ? -KEINVAL : 0;
}

// Busy on the counter: a system call runs with interrupts off, so there is
// nothing to halt for.
void sleep_for(const linux_timespec& ts) {
    const uint64_t deadline = after(ticks_from(ts.tv_sec, ts.tv_nsec));
    while (!clock_passed(deadline)) cpu_pause();
}

}  // namespace

void clock_init() {
    clock_boot_tsc = clock_run_tsc = cpu_rdtsc();
    clock_tsc_hz = measure_tsc_hz();
    const int64_t seconds = rtc_to_unix(rtc_read());
    clock_rtc_tsc = cpu_rdtsc();
    clock_rtc_seconds = seconds > 0 ? seconds : 0;
}

uint64_t clock_deadline_ms(uint64_t ms) { return after(ticks_from(ms / 1000, ms % 1000 * 1000000)); }

bool clock_passed(uint64_t deadline) { return cpu_rdtsc() >= deadline; }

void clock_begin_run() { clock_run_tsc = cpu_rdtsc(); }

int64_t rtc_to_unix(const rtc_registers& r) {
    const bool binary = (r.status_b & RTC_BINARY) != 0;
    const auto value = [binary](uint8_t v) -> uint32_t { return binary ? v : (v >> 4) * 10 + (v & 0x0F); };
    uint32_t hour = value(r.hour & ~RTC_PM);
    // 12-hour: 12 AM is midnight, 12 PM noon.
    if ((r.status_b & RTC_24_HOUR) == 0) hour = hour % 12 + ((r.hour & RTC_PM) != 0 ? 12 : 0);
    const uint32_t minute = value(r.minute), second = value(r.second), day = value(r.day), month = value(r.month),
                   year = value(r.year), century = value(r.century);
    if (second > 59 || minute > 59 || hour > 23 || day < 1 || day > 31 || month < 1 || month > 12 || year > 99)
        return -1;
    const int64_t full_year = (century >= MIN_CENTURY && century <= MAX_CENTURY ? century : DEFAULT_CENTURY) * 100 + year;
    const int64_t days = days_from_civil(full_year, month, day);
    if (days < 0) return -1;
    return static_cast<int64_t>(days * SECONDS_PER_DAY + hour * 3600 + minute * 60 + second);
}

// nanosleep: at least as long as asked, on the monotonic clock; nothing
// interrupts it, so the remainder is never written.
int64_t sys_nanosleep(uint64_t req, uint64_t, uint64_t, uint64_t, uint64_t) {
    linux_timespec ts;
    if (const int64_t error = read_timespec(req, ts)) return error;
    sleep_for(ts);
    return 0;
}

// gettimeofday: either pointer may be null; the time zone reads as UTC with no
// daylight saving.
int64_t sys_gettimeofday(uint64_t tv, uint64_t tz, uint64_t, uint64_t, uint64_t) {
    if (tv != 0) {
        const uint64_t ns = realtime_ns(cpu_rdtsc());
        const linux_timeval value = {static_cast<int64_t>(ns / NSEC_PER_SEC),
                                     static_cast<int64_t>(ns % NSEC_PER_SEC / 1000)};
        if (const int64_t error = copy_out(tv, &value, sizeof value)) return error;
    }
    static const uint32_t utc[2] = {};
    return tz != 0 ? copy_out(tz, utc, sizeof utc) : 0;
}

// time: whole seconds of real time, also stored at tloc unless it is null.
int64_t sys_time(uint64_t tloc, uint64_t, uint64_t, uint64_t, uint64_t) {
    const int64_t seconds = static_cast<int64_t>(realtime_ns(cpu_rdtsc()) / NSEC_PER_SEC);
    if (tloc != 0 && !copy_to_user(tloc, &seconds, sizeof seconds)) return -KEFAULT;
    return seconds;
}

// clock_gettime: clocks 0-7, every one read from the counter (the coarse ones
// too, the counter being cheap); others -EINVAL.
int64_t sys_clock_gettime(uint64_t id, uint64_t tp, uint64_t, uint64_t, uint64_t) {
    uint64_t ns;
    if (!clock_read(static_cast<uint32_t>(id), ns)) return -KEINVAL;
    const linux_timespec value = {static_cast<int64_t>(ns / NSEC_PER_SEC), static_cast<int64_t>(ns % NSEC_PER_SEC)};
    return copy_out(tp, &value, sizeof value);
}

// clock_getres: a nanosecond for every clock; a null pointer only checks the id.
int64_t sys_clock_getres(uint64_t id, uint64_t res, uint64_t, uint64_t, uint64_t) {
    uint64_t ns;
    if (!clock_read(static_cast<uint32_t>(id), ns)) return -KEINVAL;
    static const linux_timespec one = {0, 1};
    return res != 0 ? copy_out(res, &one, sizeof one) : 0;
}

// clock_nanosleep: for a while, or (TIMER_ABSTIME) until a time of the
// real-time, monotonic, boot-time or process clock; Linux sleeps on no other
// (the thread's CPU clock -EINVAL, the raw and coarse ones -EOPNOTSUPP). Other
// flags are ignored, as there.
int64_t sys_clock_nanosleep(uint64_t id, uint64_t flags, uint64_t req, uint64_t, uint64_t) {
    const auto clock = static_cast<clock_id>(static_cast<uint32_t>(id));
    uint64_t now;
    if (!clock_read(static_cast<uint32_t>(id), now) || clock == clock_id::thread_cputime) return -KEINVAL;
    if (clock == clock_id::monotonic_raw || clock == clock_id::realtime_coarse || clock == clock_id::monotonic_coarse)
        return -KEOPNOTSUPP;
    linux_timespec ts;
    if (const int64_t error = read_timespec(req, ts)) return error;
    if ((flags & TIMER_ABSTIME) != 0) {
        const uint64_t sec = static_cast<uint64_t>(ts.tv_sec);
        const uint64_t until = sec >= UINT64_MAX / NSEC_PER_SEC ? UINT64_MAX : sec * NSEC_PER_SEC + ts.tv_nsec;
        const uint64_t rest = until > now ? until - now : 0;
        ts = {static_cast<int64_t>(rest / NSEC_PER_SEC), static_cast<int64_t>(rest % NSEC_PER_SEC)};
    }
    sleep_for(ts);
    return 0;
}
