// The ATA PIO driver against a model drive on the fake bus: identification,
// the no-drive and packet-device refusals, sector transfers, bounded waits and
// range checks, judged by what reaches COM1, the drive and the caller's buffer.
#include <cstring>
#include <string>
#include <vector>

#include "ata.h"
#include "ata_model.h"
#include "host_env.h"

namespace {

constexpr char INIT_LINE[] = "[ata] Initializing primary ATA controller...\n";

class ata : public host_test {
protected:
    // Attaches `m` as the primary master, probes it and returns what was printed.
    std::string probe(ata_model& m) {
        m.attach();
        ata_init();
        return serial();
    }
    // A disk of `n` sectors, with an image for the first `image_sectors` of them.
    void make_disk(uint32_t n, uint32_t image_sectors = 64) {
        disk.sectors = n;
        disk.image.resize(static_cast<size_t>(image_sectors) * 512);
        for (size_t i = 0; i < disk.image.size(); ++i)
            disk.image[i] = ata_model::pattern_byte(static_cast<uint32_t>(i / 512), static_cast<uint32_t>(i % 512));
    }
    void identified(uint32_t n = 1000) {
        make_disk(n);
        probe(disk);
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
    static size_t status_reads_in_log() {
        size_t n = 0;
        for (const auto& a : ata_traffic())
            if (!a.write && (a.port == 0x1F7 || a.port == 0x3F6)) ++n;
        return n;
    }
    // Detaches every device but the UART (before a local model goes out of scope).
    void fresh_bus() {
        fake_bus::reset();
        fake_bus::attach(&uart, 0x3F8, 8);
    }
    void TearDown() override { EXPECT_EQ(disk.violations(), expected_violations); }

    std::vector<std::string> expected_violations;

    ata_model disk;
};

std::vector<uint8_t> pattern_sector(uint32_t lba) {
    std::vector<uint8_t> s(512);
    for (uint32_t i = 0; i < 512; ++i) s[i] = ata_model::pattern_byte(lba, i);
    return s;
}

// ------------------------------------------------------------ identification

TEST_F(ata, identifies_a_disk_with_the_exact_lines) {
    disk.image.resize(131072u * 512);
    EXPECT_EQ(probe(disk), std::string(INIT_LINE) +
                               "[ata] Drive detected, status=0x50\n"
                               "[ata] Model:    QEMU HARDDISK\n"
                               "[ata] Serial:   QM00001\n"
                               "[ata] Sectors:  131072 (64 MB)\n"
                               "[ata] ATA PIO driver ready.\n");
    EXPECT_EQ(ata_is_present(), 1);
    EXPECT_EQ(ata_get_sector_count(), 131072u);
    EXPECT_STREQ(ata_get_model(), "QEMU HARDDISK");
    EXPECT_STREQ(ata_get_serial(), "QM00001");
    const std::vector<ata_model::command_record> identify_once = {{ata_model::CMD_IDENTIFY, 0}};
    EXPECT_EQ(disk.commands(), identify_once);
}

TEST_F(ata, reset_pulses_srst_with_settle_delays_around_it) {
    disk.sectors = 100;
    probe(disk);
    EXPECT_EQ(fake_bus::writes_to(0x3F6), (std::vector<uint16_t>{0x04, 0x00}));
    const auto log = ata_traffic();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], (port_access{true, 8, 0x1F6, 0xA0}));  // master selected first
    // Between the select, the reset, its release and the first status poll the
    // driver reads the alternate status at least four times each.
    std::vector<size_t> marks;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].write && (log[i].port == 0x3F6 || (log[i].port == 0x1F6 && marks.empty()))) marks.push_back(i);
    ASSERT_EQ(marks.size(), 3u);
    for (size_t m = 0; m < marks.size(); ++m) {
        size_t delays = 0;
        for (size_t i = marks[m] + 1; i < log.size() && !log[i].write && log[i].port == 0x3F6; ++i) ++delays;
        EXPECT_GE(delays, 4u) << "after mark " << m;
    }
}

TEST_F(ata, identify_strings_are_byte_swapped_and_lose_only_trailing_spaces) {
    struct case_ {
        std::string model, serial, want_model, want_serial;
    };
    const case_ cases[] = {
        // 40 and 20 characters with no padding are kept whole.
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", "SN0123456789ABCDEFGH",
         "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", "SN0123456789ABCDEFGH"},
        // All spaces: empty.
        {"", "", "", ""},
        // Leading and inner spaces stay; an odd length shows the byte order.
        {"  Lead  Model X", "  7", "  Lead  Model X", "  7"},
        {"Trailing   ", "ABC  ", "Trailing", "ABC"},
    };
    for (const auto& c : cases) {
        ata_model m;
        m.sectors = 2048;
        m.model = c.model;
        m.serial = c.serial;
        fresh_bus();
        const std::string out = probe(m);
        EXPECT_EQ(ata_get_model(), c.want_model);
        EXPECT_EQ(ata_get_serial(), c.want_serial);
        EXPECT_NE(out.find("[ata] Model:    " + c.want_model + "\n[ata] Serial:   " + c.want_serial + "\n"),
                  std::string::npos)
            << out;
        EXPECT_TRUE(m.violations().empty());
    }
}

TEST_F(ata, capacity_in_whole_mib_without_overflow) {
    const std::pair<uint32_t, std::string> cases[] = {
        {8388608, "[ata] Sectors:  8388608 (4096 MB)\n"},
        {2047, "[ata] Sectors:  2047 (0 MB)\n"},
        {0xFFFFFFFF, "[ata] Sectors:  4294967295 (2097151 MB)\n"},
    };
    for (const auto& [n, line] : cases) {
        disk.sectors = n;
        const std::string out = probe(disk);
        EXPECT_NE(out.find(line), std::string::npos) << out;
        EXPECT_EQ(ata_get_sector_count(), n);
    }
}

// ------------------------------------------------------------ refusals

TEST_F(ata, no_drive_on_a_silent_or_floating_bus) {
    for (auto k : {ata_model::kind::none_zero, ata_model::kind::none_floating}) {
        ata_model none(k);
        fresh_bus();
        const std::string out = probe(none);
        const std::string status = k == ata_model::kind::none_zero ? "0" : "FF";
        EXPECT_EQ(out, std::string(INIT_LINE) + "[ata] No drive detected (status=0x" + status + ")\n");
        // Reported at once, not after waiting out the BSY bound.
        EXPECT_LT(status_reads_in_log(), 20u);
        EXPECT_EQ(ata_is_present(), 0);
        EXPECT_EQ(ata_get_sector_count(), 0u);
        EXPECT_STREQ(ata_get_model(), "");
        EXPECT_STREQ(ata_get_serial(), "");

        // Reads and writes fail quietly, without touching the bus or the buffer.
        fake_bus::clear_log();
        uint8_t buf[512];
        memset(buf, 0xCC, sizeof buf);
        EXPECT_EQ(ata_read_sectors(0, 1, buf), -1);
        EXPECT_EQ(ata_read_sectors(0, 0, buf), -1);
        EXPECT_EQ(ata_block_read(0, 1, buf), -1);
        EXPECT_EQ(ata_write_sectors(0, 1, buf), -1);
        EXPECT_EQ(serial(), "");
        EXPECT_TRUE(ata_traffic().empty());
        EXPECT_EQ(buf[0], 0xCC);
        EXPECT_EQ(buf[511], 0xCC);
        fresh_bus();
    }
}

TEST_F(ata, a_failed_probe_forgets_an_earlier_drive) {
    identified();
    ata_model none(ata_model::kind::none_floating);
    probe(none);
    EXPECT_EQ(ata_is_present(), 0);
    EXPECT_STREQ(ata_get_model(), "");
    EXPECT_EQ(ata_get_sector_count(), 0u);
}

TEST_F(ata, packet_device_is_never_taken_for_a_disk) {
    // As QEMU's CD-ROM does: status 0 after reset, so it is no drive at all.
    ata_model cd(ata_model::kind::packet_device);
    cd.sectors = 1000;
    EXPECT_EQ(probe(cd), std::string(INIT_LINE) + "[ata] No drive detected (status=0x0)\n");
    EXPECT_EQ(ata_is_present(), 0);

    // A device that shows DRDY after reset gets IDENTIFY DEVICE, aborts it with
    // ERR and shows its signature: the signature is named, not a timeout.
    ata_model ready_cd(ata_model::kind::packet_device);
    ready_cd.sectors = 1000;
    ready_cd.status_after_reset = 0x50;
    fresh_bus();
    EXPECT_EQ(probe(ready_cd), std::string(INIT_LINE) +
                                   "[ata] Drive detected, status=0x50\n"
                                   "[ata] Not an ATA drive (ATAPI?)\n");
    EXPECT_EQ(ata_is_present(), 0);
    EXPECT_STREQ(ata_get_model(), "");
    uint8_t buf[512];
    EXPECT_EQ(ata_read_sectors(0, 1, buf), -1);
    EXPECT_TRUE(cd.violations().empty());
    EXPECT_TRUE(ready_cd.violations().empty());
}

TEST_F(ata, aborted_identify_without_signature_is_a_timeout) {
    disk.sectors = 1000;
    disk.refuse_identify = true;
    EXPECT_EQ(probe(disk), std::string(INIT_LINE) +
                               "[ata] Drive detected, status=0x50\n"
                               "[ata] IDENTIFY timeout\n");
    EXPECT_EQ(ata_is_present(), 0);
}

// ------------------------------------------------------------ bounded waits

TEST_F(ata, bsy_that_never_clears_at_probe_gives_up) {
    disk.sectors = 1000;
    disk.stuck_busy = true;
    // The select that comes before the reset meets the busy drive; it is ignored.
    expected_violations = {"write to port 502 while BSY"};
    EXPECT_EQ(probe(disk), std::string(INIT_LINE) + "[ata] Timeout waiting for BSY to clear (status=0x80)\n");
    EXPECT_EQ(ata_is_present(), 0);
    EXPECT_TRUE(disk.commands().empty());
    // Bounded: about a million polls (a second of real hardware), not forever.
    EXPECT_GT(disk.status_reads(), 100000u);
    EXPECT_LT(disk.status_reads(), 2000000u);
}

TEST_F(ata, bsy_that_never_clears_fails_a_read_and_a_write) {
    identified();
    disk.stuck_busy = true;
    uint8_t buf[1024];
    memset(buf, 0xCC, sizeof buf);
    const uint64_t before = disk.status_reads();
    EXPECT_EQ(ata_read_sectors(3, 2, buf), -1);
    EXPECT_EQ(serial(), "[ata] Timeout waiting for BSY to clear (status=0x80)\n");
    EXPECT_LT(disk.status_reads() - before, 2000000u);
    EXPECT_EQ(buf[0], 0xCC);
    EXPECT_EQ(ata_write_sectors(3, 1, buf), -1);
    EXPECT_EQ(serial(), "[ata] Timeout waiting for BSY to clear (status=0x80)\n");
    EXPECT_EQ(disk.commands().size(), 1u);  // only the IDENTIFY of the probe
}

// ------------------------------------------------------------ reads

TEST_F(ata, reads_consecutive_sectors_one_command_each) {
    identified();
    std::vector<uint8_t> buf(3 * 512);
    EXPECT_EQ(ata_read_sectors(10, 3, buf.data()), 0);
    EXPECT_EQ(serial(), "");
    for (uint32_t s = 0; s < 3; ++s)
        EXPECT_EQ(std::vector<uint8_t>(buf.begin() + s * 512, buf.begin() + (s + 1) * 512), pattern_sector(10 + s));
    const std::vector<ata_model::command_record> want = {
        {ata_model::CMD_IDENTIFY, 0}, {ata_model::CMD_READ, 10}, {ata_model::CMD_READ, 11}, {ata_model::CMD_READ, 12}};
    EXPECT_EQ(disk.commands(), want);
    EXPECT_EQ(fake_bus::writes_to(0x1F2), (std::vector<uint16_t>{1, 1, 1}));

    // The block-read adapter is the same read.
    std::vector<uint8_t> again(512);
    EXPECT_EQ(ata_block_read(11, 1, again.data()), 0);
    EXPECT_EQ(again, pattern_sector(11));
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

TEST_F(ata, zero_sectors_touch_neither_device_nor_buffer) {
    identified();
    uint8_t buf[4];
    memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(ata_read_sectors(5, 0, buf), 0);
    EXPECT_EQ(ata_read_sectors(0xFFFFFFFF, 0, buf), 0);  // no range to check
    EXPECT_EQ(ata_write_sectors(5, 0, buf), 0);
    EXPECT_TRUE(ata_traffic().empty());
    EXPECT_EQ(serial(), "");
    EXPECT_EQ(buf[0], 0xCC);
}

TEST_F(ata, boot_sector_of_the_sample_disk_carries_the_partition_table) {
    ASSERT_TRUE(disk.load(TARVELIN_BINARY_DIR "/disk.img")) << "build the disk_image target first";
    probe(disk);
    ASSERT_EQ(ata_is_present(), 1);
    EXPECT_EQ(ata_get_sector_count(), disk.image.size() / 512);
    uint8_t mbr[512];
    ASSERT_EQ(ata_read_sectors(0, 1, mbr), 0);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    const uint8_t* entry = mbr + 446;
    EXPECT_EQ(entry[4], 0x83);  // Linux
    uint32_t start, count;
    memcpy(&start, entry + 8, 4);
    memcpy(&count, entry + 12, 4);
    EXPECT_EQ(start, 2048u);
    EXPECT_EQ(count, ata_get_sector_count() - 2048);
    for (int i = 16; i < 64; ++i) EXPECT_EQ(entry[i], 0) << "only one partition, entry byte " << i;
}

// ------------------------------------------------------------ address range

TEST_F(ata, requests_past_the_end_of_the_disk_are_refused_without_wrapping) {
    identified(1000);
    uint8_t buf[2 * 512];
    EXPECT_EQ(ata_read_sectors(999, 1, buf), 0);  // the last sector
    EXPECT_EQ(buf[0], pattern_sector(999)[0]);
    fake_bus::clear_log();

    EXPECT_EQ(ata_read_sectors(999, 2, buf), -1);
    EXPECT_EQ(serial(), "[ata] Read of 2 sectors at LBA 999 exceeds the 1000 addressable sectors\n");
    EXPECT_EQ(ata_read_sectors(1000, 1, buf), -1);
    EXPECT_EQ(serial(), "[ata] Read of 1 sectors at LBA 1000 exceeds the 1000 addressable sectors\n");
    // lba + count would wrap to 1 in 32 bits.
    EXPECT_EQ(ata_read_sectors(0xFFFFFFFF, 2, buf), -1);
    EXPECT_EQ(serial(), "[ata] Read of 2 sectors at LBA 4294967295 exceeds the 1000 addressable sectors\n");
    EXPECT_EQ(ata_read_sectors(0, 0xFFFFFFFF, buf), -1);
    EXPECT_NE(serial(), "");
    EXPECT_EQ(ata_write_sectors(1000, 1, buf), -1);
    EXPECT_EQ(serial(), "[ata] Write of 1 sectors at LBA 1000 exceeds the 1000 addressable sectors\n");
    EXPECT_TRUE(ata_traffic().empty());  // nothing reached the drive
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

    // 2^28 would reach the drive as LBA 0.
    EXPECT_EQ(ata_read_sectors(0x10000000, 1, buf), -1);
    EXPECT_EQ(serial(), "[ata] Read of 1 sectors at LBA 268435456 exceeds the 268435456 addressable sectors\n");
    EXPECT_EQ(ata_read_sectors(0x0FFFFFFF, 2, buf), -1);
    EXPECT_NE(serial(), "");
    EXPECT_TRUE(ata_traffic().empty());
}

// ------------------------------------------------------------ writes

TEST_F(ata, writes_flush_every_sector_and_read_back) {
    identified();
    std::vector<uint8_t> data(3 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 5 + 3);
    EXPECT_EQ(ata_write_sectors(5, 3, data.data()), 0);
    EXPECT_EQ(serial(), "");
    const std::vector<ata_model::command_record> want = {
        {ata_model::CMD_IDENTIFY, 0}, {ata_model::CMD_WRITE, 5}, {ata_model::CMD_FLUSH, 5},
        {ata_model::CMD_WRITE, 6},    {ata_model::CMD_FLUSH, 6}, {ata_model::CMD_WRITE, 7},
        {ata_model::CMD_FLUSH, 7}};
    EXPECT_EQ(disk.commands(), want);
    EXPECT_TRUE(disk.unflushed().empty());
    for (uint32_t s = 0; s < 3; ++s)
        EXPECT_EQ(disk.sector(5 + s), std::vector<uint8_t>(data.begin() + s * 512, data.begin() + (s + 1) * 512));

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
    EXPECT_EQ(disk.commands().back(), (ata_model::command_record{ata_model::CMD_FLUSH, 9}));  // stopped there
}

}  // namespace
