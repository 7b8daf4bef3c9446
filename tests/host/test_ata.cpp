// The ATA PIO driver against a model drive on the fake bus: identification,
// the no-drive and packet-device refusals, transfers, bounded waits and range
// checks, judged by what reaches COM1, the drive and the caller's buffer.
#include <cstring>
#include <string>
#include <vector>

#include "ata.h"
#include "ata_model.h"
#include "host_env.h"

namespace {

constexpr char INIT_LINE[] = "[ata] Initializing primary ATA controller...\n";
const std::string TIMEOUT = "[ata] Timeout waiting for BSY to clear (status=0x80)\n";
using cmd = ata_model::command_record;
constexpr uint8_t IDENTIFY = ata_model::CMD_IDENTIFY, READ = ata_model::CMD_READ, WRITE = ata_model::CMD_WRITE,
                  FLUSH = ata_model::CMD_FLUSH;

std::vector<uint8_t> pattern_sector(uint32_t lba) {
    std::vector<uint8_t> s(512);
    for (uint32_t i = 0; i < 512; ++i) s[i] = ata_model::pattern_byte(lba, i);
    return s;
}

class ata : public host_test {
protected:
    void TearDown() override { EXPECT_EQ(disk.violations(), expected_violations); }
    // Attaches `m` (or nothing) as the primary master, probes, returns what was printed.
    std::string probe(ata_model* m) {
        fake_bus::reset();
        fake_bus::attach(&uart, 0x3F8, 8);
        if (m) m->attach();
        ata_init();
        return serial();
    }
    // An identified disk of `n` sectors; the first 64 have an image.
    void identified(uint32_t n = 1000) {
        disk.sectors = n;
        disk.image.resize(64 * 512);
        for (size_t i = 0; i < disk.image.size(); ++i)
            disk.image[i] = ata_model::pattern_byte(static_cast<uint32_t>(i / 512), static_cast<uint32_t>(i % 512));
        probe(&disk);
        ASSERT_EQ(ata_is_present(), 1);
        fake_bus::clear_log();
    }
    // The bus log without the console's traffic.
    static std::vector<port_access> ata_traffic() {
        std::vector<port_access> out;
        for (const auto& a : fake_bus::log())
            if ((a.port >= 0x1F0 && a.port <= 0x1F7) || a.port == 0x3F6) out.push_back(a);
        return out;
    }
    static void expect_forgotten() {
        EXPECT_EQ(ata_is_present(), 0);
        EXPECT_EQ(ata_get_sector_count(), 0u);
        EXPECT_STREQ(ata_get_model(), "");
        EXPECT_STREQ(ata_get_serial(), "");
    }

    std::vector<std::string> expected_violations;
    ata_model disk;
};

// ------------------------------------------------------------ identification

TEST_F(ata, identifies_a_disk_with_the_exact_lines) {
    disk.image.resize(131072u * 512);
    EXPECT_EQ(probe(&disk), std::string(INIT_LINE) +
                                "[ata] Drive detected, status=0x50\n"
                                "[ata] Model:    QEMU HARDDISK\n"
                                "[ata] Serial:   QM00001\n"
                                "[ata] Sectors:  131072 (64 MB)\n"
                                "[ata] ATA PIO driver ready.\n");
    EXPECT_EQ(ata_is_present(), 1);
    EXPECT_EQ(ata_get_sector_count(), 131072u);
    EXPECT_STREQ(ata_get_model(), "QEMU HARDDISK");
    EXPECT_STREQ(ata_get_serial(), "QM00001");
    EXPECT_EQ(disk.commands(), (std::vector<cmd>{{IDENTIFY, 0}}));

    // Master selected first; SRST pulsed; four alternate-status reads of delay
    // after the select, the reset and its release.
    const auto log = ata_traffic();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], (port_access{true, 8, 0x1F6, 0xA0}));
    EXPECT_EQ(fake_bus::writes_to(0x3F6), (std::vector<uint16_t>{0x04, 0x00}));
    size_t marks = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (!log[i].write || !(log[i].port == 0x3F6 || (log[i].port == 0x1F6 && marks == 0))) continue;
        ++marks;
        size_t delays = 0;
        for (size_t j = i + 1; j < log.size() && !log[j].write && log[j].port == 0x3F6; ++j) ++delays;
        EXPECT_GE(delays, 4u) << "after write " << i;
    }
    EXPECT_EQ(marks, 3u);
}

TEST_F(ata, identify_strings_and_capacity) {
    struct case_ {
        std::string model, serial, want_model, want_serial;
        uint32_t sectors;
        std::string capacity;
    };
    const case_ cases[] = {
        // 40 and 20 characters with no padding are kept whole.
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", "SN0123456789ABCDEFGH",
         "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", "SN0123456789ABCDEFGH", 8388608, "8388608 (4096 MB)"},
        {"", "", "", "", 2047, "2047 (0 MB)"},  // all spaces: empty
        // Leading and inner spaces stay; an odd length shows the byte order.
        {"  Lead  Model X", "  7", "  Lead  Model X", "  7", 0xFFFFFFFF, "4294967295 (2097151 MB)"},
        {"Trailing   ", "ABC  ", "Trailing", "ABC", 2048, "2048 (1 MB)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        ata_model m;
        m.sectors = c.sectors;
        m.model = c.model;
        m.serial = c.serial;
        EXPECT_NE(probe(&m).find("[ata] Model:    " + c.want_model + "\n[ata] Serial:   " + c.want_serial +
                                 "\n[ata] Sectors:  " + c.capacity + "\n"),
                  std::string::npos);
        EXPECT_EQ(ata_get_model(), c.want_model);
        EXPECT_EQ(ata_get_serial(), c.want_serial);
        EXPECT_EQ(ata_get_sector_count(), c.sectors);
        EXPECT_TRUE(m.violations().empty());
    }
}

// ------------------------------------------------------------ refusals

TEST_F(ata, no_drive_on_a_silent_or_floating_bus) {
    identified();  // an earlier drive is forgotten
    for (uint8_t bus : {0x00, 0xFF}) {
        SCOPED_TRACE(bus);
        fake_bus::reset();
        fake_bus::attach(&uart, 0x3F8, 8);
        fake_bus::set_unclaimed_value(bus);
        ata_init();
        EXPECT_EQ(serial(), std::string(INIT_LINE) + "[ata] No drive detected (status=0x" + (bus ? "FF" : "0") + ")\n");
        size_t polls = 0;  // reported at once, not after the BSY bound
        for (const auto& a : ata_traffic()) polls += !a.write && (a.port == 0x1F7 || a.port == 0x3F6);
        EXPECT_LT(polls, 20u);
        expect_forgotten();

        // Transfers fail quietly, without touching the bus or the buffer.
        fake_bus::clear_log();
        uint8_t buf[512];
        memset(buf, 0xCC, sizeof buf);
        EXPECT_EQ(ata_read_sectors(0, 1, buf), -1);
        EXPECT_EQ(ata_read_sectors(0, 0, buf), -1);
        EXPECT_EQ(ata_block_read(0, 1, buf), -1);
        EXPECT_EQ(ata_write_sectors(0, 1, buf), -1);
        EXPECT_EQ(serial(), "");
        EXPECT_TRUE(ata_traffic().empty());
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + 512), std::vector<uint8_t>(512, 0xCC));
    }
}

TEST_F(ata, packet_device_or_refused_identify_is_never_taken_for_a_disk) {
    // As QEMU's CD-ROM does: status 0 after reset, so no drive at all.
    ata_model cd(ata_model::kind::packet_device);
    cd.sectors = 1000;
    EXPECT_EQ(probe(&cd), std::string(INIT_LINE) + "[ata] No drive detected (status=0x0)\n");
    expect_forgotten();
    // DRDY after reset: IDENTIFY DEVICE aborted with the signature, which is named.
    cd.status_after_reset = 0x50;
    EXPECT_EQ(probe(&cd), std::string(INIT_LINE) + "[ata] Drive detected, status=0x50\n[ata] Not an ATA drive (ATAPI?)\n");
    expect_forgotten();
    uint8_t buf[512];
    EXPECT_EQ(ata_read_sectors(0, 1, buf), -1);
    EXPECT_TRUE(cd.violations().empty());
    // Aborted without a signature: a timeout.
    disk.sectors = 1000;
    disk.refuse_identify = true;
    EXPECT_EQ(probe(&disk), std::string(INIT_LINE) + "[ata] Drive detected, status=0x50\n[ata] IDENTIFY timeout\n");
    expect_forgotten();
}

// ------------------------------------------------------------ bounded waits

TEST_F(ata, bsy_that_never_clears_at_probe_gives_up) {
    disk.sectors = 1000;
    disk.stuck_busy = true;
    expected_violations = {"write to port 502 while BSY"};  // the select before the reset; ignored
    EXPECT_EQ(probe(&disk), INIT_LINE + TIMEOUT);
    EXPECT_EQ(ata_is_present(), 0);
    EXPECT_TRUE(disk.commands().empty());
    EXPECT_GT(disk.status_reads(), 100000u);  // about a second of real hardware, not forever
    EXPECT_LT(disk.status_reads(), 2000000u);
}

TEST_F(ata, bsy_that_never_clears_fails_a_read_and_a_write) {
    identified();
    disk.stuck_busy = true;
    uint8_t buf[1024];
    memset(buf, 0xCC, sizeof buf);
    const uint64_t before = disk.status_reads();
    EXPECT_EQ(ata_read_sectors(3, 2, buf), -1);
    EXPECT_EQ(serial(), TIMEOUT);
    EXPECT_LT(disk.status_reads() - before, 2000000u);
    EXPECT_EQ(buf[0], 0xCC);
    EXPECT_EQ(ata_write_sectors(3, 1, buf), -1);
    EXPECT_EQ(serial(), TIMEOUT);
    EXPECT_EQ(disk.commands().size(), 1u);  // only the IDENTIFY of the probe
}

// ------------------------------------------------------------ transfers

TEST_F(ata, reads_consecutive_sectors_one_command_each) {
    identified();
    std::vector<uint8_t> buf(3 * 512);
    EXPECT_EQ(ata_read_sectors(10, 3, buf.data()), 0);
    EXPECT_EQ(serial(), "");
    for (uint32_t s = 0; s < 3; ++s)
        EXPECT_EQ(std::vector<uint8_t>(buf.begin() + s * 512, buf.begin() + (s + 1) * 512), pattern_sector(10 + s));
    EXPECT_EQ(disk.commands(), (std::vector<cmd>{{IDENTIFY, 0}, {READ, 10}, {READ, 11}, {READ, 12}}));
    EXPECT_EQ(fake_bus::writes_to(0x1F2), (std::vector<uint16_t>{1, 1, 1}));
    EXPECT_EQ(ata_block_read(11, 1, buf.data()), 0);  // the block-read adapter is the same read
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 512), pattern_sector(11));

    // Zero sectors touch neither the device nor the buffer, and have no range.
    fake_bus::clear_log();
    buf.assign(4, 0xCC);
    EXPECT_EQ(ata_read_sectors(5, 0, buf.data()), 0);
    EXPECT_EQ(ata_read_sectors(0xFFFFFFFF, 0, buf.data()), 0);
    EXPECT_EQ(ata_write_sectors(5, 0, buf.data()), 0);
    EXPECT_TRUE(ata_traffic().empty());
    EXPECT_EQ(buf[0], 0xCC);
}

TEST_F(ata, a_failing_third_sector_reports_its_lba_and_keeps_the_first_two) {
    identified();
    disk.fail_lba = 12;
    std::vector<uint8_t> buf(3 * 512, 0xCC);
    EXPECT_EQ(ata_read_sectors(10, 3, buf.data()), -1);
    EXPECT_EQ(serial(), "[ata] Read error at LBA 12\n");
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 512), pattern_sector(10));
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 512, buf.begin() + 1024), pattern_sector(11));
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 1024, buf.end()), std::vector<uint8_t>(512, 0xCC));
}

TEST_F(ata, requests_past_the_end_of_the_disk_are_refused_without_wrapping) {
    identified(1000);
    uint8_t buf[2 * 512];
    EXPECT_EQ(ata_read_sectors(999, 1, buf), 0);  // the last sector
    EXPECT_EQ(buf[0], pattern_sector(999)[0]);
    fake_bus::clear_log();
    const std::string beyond = " exceeds the 1000 addressable sectors\n";
    EXPECT_EQ(ata_read_sectors(999, 2, buf), -1);
    EXPECT_EQ(serial(), "[ata] Read of 2 sectors at LBA 999" + beyond);
    EXPECT_EQ(ata_read_sectors(1000, 1, buf), -1);
    EXPECT_EQ(serial(), "[ata] Read of 1 sectors at LBA 1000" + beyond);
    EXPECT_EQ(ata_read_sectors(0xFFFFFFFF, 2, buf), -1);  // lba + count wraps to 1 in 32 bits
    EXPECT_EQ(serial(), "[ata] Read of 2 sectors at LBA 4294967295" + beyond);
    EXPECT_EQ(ata_read_sectors(0, 0xFFFFFFFF, buf), -1);
    EXPECT_EQ(serial(), "[ata] Read of 4294967295 sectors at LBA 0" + beyond);
    EXPECT_EQ(ata_write_sectors(1000, 1, buf), -1);
    EXPECT_EQ(serial(), "[ata] Write of 1 sectors at LBA 1000" + beyond);
    EXPECT_TRUE(ata_traffic().empty());
}

TEST_F(ata, addresses_stop_at_two_to_the_28_on_a_larger_disk) {
    identified(0xFFFFFFFF);
    uint8_t buf[512];
    EXPECT_EQ(ata_read_sectors(0x0ABCDEF7, 1, buf), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 512), pattern_sector(0x0ABCDEF7));
    EXPECT_EQ(fake_bus::writes_to(0x1F6), (std::vector<uint16_t>{0xEA}));
    EXPECT_EQ(fake_bus::writes_to(0x1F3), (std::vector<uint16_t>{0xF7}));
    EXPECT_EQ(fake_bus::writes_to(0x1F4), (std::vector<uint16_t>{0xDE}));
    EXPECT_EQ(fake_bus::writes_to(0x1F5), (std::vector<uint16_t>{0xBC}));
    EXPECT_EQ(ata_read_sectors(0x0FFFFFFF, 1, buf), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 512), pattern_sector(0x0FFFFFFF));
    fake_bus::clear_log();
    EXPECT_EQ(ata_read_sectors(0x10000000, 1, buf), -1);  // would reach the drive as LBA 0
    EXPECT_EQ(serial(), "[ata] Read of 1 sectors at LBA 268435456 exceeds the 268435456 addressable sectors\n");
    EXPECT_EQ(ata_read_sectors(0x0FFFFFFF, 2, buf), -1);
    EXPECT_NE(serial(), "");
    EXPECT_TRUE(ata_traffic().empty());
}

TEST_F(ata, writes_flush_every_sector_and_read_back) {
    identified();
    std::vector<uint8_t> data(3 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 5 + 3);
    EXPECT_EQ(ata_write_sectors(5, 3, data.data()), 0);
    EXPECT_EQ(serial(), "");
    EXPECT_EQ(disk.commands(),
              (std::vector<cmd>{{IDENTIFY, 0}, {WRITE, 5}, {FLUSH, 5}, {WRITE, 6}, {FLUSH, 6}, {WRITE, 7}, {FLUSH, 7}}));
    EXPECT_TRUE(disk.unflushed().empty());
    std::vector<uint8_t> back(3 * 512);
    EXPECT_EQ(ata_read_sectors(5, 3, back.data()), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(disk.sector(4), pattern_sector(4));  // neighbours untouched
    EXPECT_EQ(disk.sector(8), pattern_sector(8));
}

TEST_F(ata, write_failures_are_reported_per_sector) {
    identified();
    std::vector<uint8_t> data(2 * 512, 0x5A);
    disk.fail_lba = 6;
    EXPECT_EQ(ata_write_sectors(5, 2, data.data()), -1);
    EXPECT_EQ(serial(), "[ata] Write error at LBA 6\n");
    EXPECT_EQ(disk.sector(5), std::vector<uint8_t>(512, 0x5A));  // the first went through, flushed
    EXPECT_TRUE(disk.unflushed().empty());
    EXPECT_EQ(disk.sector(6), pattern_sector(6));

    disk.fail_lba.reset();
    disk.fail_flush = true;
    EXPECT_EQ(ata_write_sectors(9, 2, data.data()), -1);
    EXPECT_EQ(serial(), "[ata] Cache flush failed at LBA 9\n");
    EXPECT_EQ(disk.commands().back(), (cmd{FLUSH, 9}));  // stopped there
}

}  // namespace
