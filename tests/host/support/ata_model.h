// Model of the master device on the primary ATA channel (task file 0x1F0-0x1F7,
// device control 0x3F6), for host tests of the PIO driver.
//
// It keeps to the protocol a real drive follows: after a reset or a command BSY
// stays set for two status reads; data moves only while DRQ is set;
// errors show as ERR with DRQ clear. Whatever a driver does that a real drive
// would ignore or misread (a command or register write while BSY, data moved
// without DRQ, a 16-bit access to a byte register) is counted as a violation.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fake_bus.h"

class ata_model : public port_device {
public:
    enum class kind {
        disk,           // an ATA hard disk
        packet_device,  // an ATAPI device (a CD-ROM): signature 0x14/0xEB, aborts IDENTIFY DEVICE
    };

    static constexpr uint8_t BSY = 0x80, DRDY = 0x40, DSC = 0x10, DRQ = 0x08, ERR = 0x01;
    static constexpr uint8_t CMD_READ = 0x20, CMD_WRITE = 0x30, CMD_IDENTIFY = 0xEC, CMD_FLUSH = 0xE7;

    explicit ata_model(kind k = kind::disk) : kind_(k) {
        if (k == kind::packet_device) status_after_reset = 0x00;
    }

    // Claims 0x1F0-0x1F7 and 0x3F6 on the fake bus.
    void attach();

    // ---- configuration
    std::string model = "QEMU HARDDISK";  // padded with spaces to 40 characters
    std::string serial = "QM00001";       // padded with spaces to 20 characters
    std::optional<uint32_t> sectors;      // IDENTIFY words 60-61; default: image size / 512
    // Backing store: the image's sectors, then (up to `sectors`) a pattern that
    // depends on LBA and offset (pattern_byte), so far addresses can be checked.
    std::vector<uint8_t> image;
    uint8_t status_after_reset = DRDY | DSC;
    bool stuck_busy = false;             // BSY never clears, from now on
    std::optional<uint32_t> fail_lba;    // a read or write of this sector ends in ERR
    bool fail_flush = false;             // FLUSH CACHE ends in ERR
    bool refuse_identify = false;        // a disk that aborts IDENTIFY DEVICE (no signature)

    // Loads a file as the backing store; false when it cannot be read.
    bool load(const std::string& path);
    static uint8_t pattern_byte(uint32_t lba, uint32_t offset) {
        return static_cast<uint8_t>(lba * 7 + (lba >> 8) * 13 + (lba >> 16) * 17 + offset);
    }

    // ---- observation
    struct command_record {
        uint8_t command;
        uint32_t lba;  // decoded from the task file when the command was written
        bool operator==(const command_record&) const = default;
    };
    const std::vector<command_record>& commands() const { return commands_; }
    const std::vector<std::string>& violations() const { return violations_; }
    uint64_t status_reads() const { return status_reads_; }
    // Sectors written since the last completed FLUSH CACHE.
    const std::vector<uint32_t>& unflushed() const { return unflushed_; }
    // The sector as the medium holds it now.
    std::vector<uint8_t> sector(uint32_t lba) const;

    uint8_t in8(uint16_t port) override;
    void out8(uint16_t port, uint8_t value) override;
    uint16_t in16(uint16_t port) override;
    void out16(uint16_t port, uint16_t value) override;

private:
    enum class phase { idle, data_in, data_out };

    uint8_t read_status();
    void start_busy(uint8_t then_status);
    void execute(uint8_t command);
    void begin_transfer();
    void finish_sector();
    uint32_t sector_count() const;
    uint32_t current_lba() const;
    bool addressable(uint32_t lba) const;
    void build_identify();
    void violation(const std::string& what) { violations_.push_back(what); }

    kind kind_;
    uint8_t count_ = 0, lba_low_ = 0, lba_mid_ = 0, lba_high_ = 0, head_ = 0;
    uint8_t error_ = 0;
    uint8_t status_ = 0;
    uint8_t status_when_ready_ = 0;
    int busy_left_ = 0;
    bool in_reset_ = false;

    phase phase_ = phase::idle;
    uint8_t transfer_command_ = 0;
    uint32_t transfer_lba_ = 0;
    uint32_t transfer_left_ = 0;
    uint8_t buffer_[512] = {};
    uint32_t word_ = 0;

    std::vector<command_record> commands_;
    std::vector<std::string> violations_;
    std::vector<uint32_t> unflushed_;
    uint64_t status_reads_ = 0;
};
