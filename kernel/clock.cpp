// The time-stamp counter as the one source of time.
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
#include "io.h"
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
