#include "ata_model.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {
constexpr uint16_t DATA = 0x1F0, ERROR_REG = 0x1F1, COUNT = 0x1F2, LBA_LOW = 0x1F3, LBA_MID = 0x1F4,
                   LBA_HIGH = 0x1F5, HEAD = 0x1F6, STATUS = 0x1F7, ALT_STATUS = 0x3F6;
constexpr uint8_t HEAD_LBA = 0x40, HEAD_SLAVE = 0x10;
constexpr uint8_t CTRL_SRST = 0x04;
constexpr uint8_t ERR_ABRT = 0x04, ERR_IDNF = 0x10, ERR_UNC = 0x40;
constexpr uint8_t PACKET_SIG_MID = 0x14, PACKET_SIG_HIGH = 0xEB;
constexpr uint32_t SECTOR = 512;
constexpr int BUSY_READS = 2;  // status reads with BSY after every reset and command
}  // namespace

void ata_model::attach() {
    fake_bus::attach(this, DATA, 8);
    fake_bus::attach(this, ALT_STATUS, 1);
}

bool ata_model::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::vector<uint8_t> ata_model::sector(uint32_t lba) const {
    std::vector<uint8_t> out(SECTOR);
    const uint64_t at = static_cast<uint64_t>(lba) * SECTOR;
    for (uint32_t i = 0; i < SECTOR; ++i)
        out[i] = at + SECTOR <= image.size() ? image[at + i] : pattern_byte(lba, i);
    return out;
}

uint32_t ata_model::sector_count() const { return count_ == 0 ? 256 : count_; }

uint32_t ata_model::current_lba() const {
    return lba_low_ | (lba_mid_ << 8) | (lba_high_ << 16) | (static_cast<uint32_t>(head_ & 0x0F) << 24);
}

bool ata_model::addressable(uint32_t lba) const {
    return lba < sectors.value_or(static_cast<uint32_t>(image.size() / SECTOR));
}

void ata_model::start_busy(uint8_t then_status) {
    status_when_ready_ = then_status;
    busy_left_ = BUSY_READS;
    status_ = BSY;
}

uint8_t ata_model::read_status() {
    if (stuck_busy || in_reset_) return BSY;
    if (head_ & HEAD_SLAVE) return 0;  // no slave device on this channel
    if (busy_left_ > 0) {
        if (--busy_left_ == 0) status_ = status_when_ready_;
        return BSY;
    }
    return status_;
}

uint8_t ata_model::in8(uint16_t port) {
    switch (port) {
    case STATUS:
    case ALT_STATUS: ++status_reads_; return read_status();
    case ERROR_REG: return error_;
    case COUNT: return count_;
    case LBA_LOW: return lba_low_;
    case LBA_MID: return lba_mid_;
    case LBA_HIGH: return lba_high_;
    case HEAD: return head_;
    default: violation("8-bit read of the data register"); return 0;
    }
}

void ata_model::out8(uint16_t port, uint8_t value) {
    const bool busy = stuck_busy || in_reset_ || busy_left_ > 0;
    if (port == ALT_STATUS) {  // device control
        if (value & CTRL_SRST) {
            in_reset_ = true;
            phase_ = phase::idle;
        } else if (in_reset_) {
            in_reset_ = false;
            // The reset signature: count and LBA low 1, the device type in mid/high.
            count_ = 1;
            lba_low_ = 1;
            lba_mid_ = kind_ == kind::packet_device ? PACKET_SIG_MID : 0;
            lba_high_ = kind_ == kind::packet_device ? PACKET_SIG_HIGH : 0;
            head_ &= static_cast<uint8_t>(~HEAD_SLAVE);
            error_ = 0x01;  // diagnostics passed
            start_busy(status_after_reset);
        }
        return;
    }
    if (port == DATA) {
        violation("8-bit write of the data register");
        return;
    }
    if (busy) violation("write to port " + std::to_string(port) + " while BSY");
    switch (port) {
    case ERROR_REG: break;  // features: no command here uses them
    case COUNT: count_ = value; break;
    case LBA_LOW: lba_low_ = value; break;
    case LBA_MID: lba_mid_ = value; break;
    case LBA_HIGH: lba_high_ = value; break;
    case HEAD: head_ = value; break;
    case STATUS:
        if (busy) return;  // a drive ignores commands while busy
        if (phase_ != phase::idle) {
            violation("command written while DRQ is set");
            return;
        }
        execute(value);
        break;
    }
}

uint16_t ata_model::in16(uint16_t port) {
    if (port != DATA) {
        violation("16-bit read of a byte register");
        return 0;
    }
    if (stuck_busy || busy_left_ > 0 || phase_ != phase::data_in) {
        violation("data read without DRQ");
        return 0xFFFF;
    }
    const uint16_t w = static_cast<uint16_t>(buffer_[2 * word_] | (buffer_[2 * word_ + 1] << 8));
    if (++word_ == SECTOR / 2) finish_sector();
    return w;
}

void ata_model::out16(uint16_t port, uint16_t value) {
    if (port != DATA) {
        violation("16-bit write of a byte register");
        return;
    }
    if (stuck_busy || busy_left_ > 0 || phase_ != phase::data_out) {
        violation("data write without DRQ");
        return;
    }
    buffer_[2 * word_] = static_cast<uint8_t>(value);
    buffer_[2 * word_ + 1] = static_cast<uint8_t>(value >> 8);
    if (++word_ == SECTOR / 2) finish_sector();
}

void ata_model::build_identify() {
    uint16_t w[256] = {};
    w[0] = 0x0040;   // fixed disk
    w[49] = 0x0200;  // LBA supported
    auto put = [&](const std::string& text, int first_word, size_t chars) {
        std::string s = text.substr(0, chars);
        s.resize(chars, ' ');
        for (size_t i = 0; i < chars / 2; ++i)
            w[first_word + i] = static_cast<uint16_t>((static_cast<uint8_t>(s[2 * i]) << 8) |
                                                      static_cast<uint8_t>(s[2 * i + 1]));
    };
    put(serial, 10, 20);
    put(model, 27, 40);
    const uint32_t n = sectors.value_or(static_cast<uint32_t>(image.size() / SECTOR));
    w[60] = static_cast<uint16_t>(n);
    w[61] = static_cast<uint16_t>(n >> 16);
    for (int i = 0; i < 256; ++i) {
        buffer_[2 * i] = static_cast<uint8_t>(w[i]);
        buffer_[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
    }
}

void ata_model::execute(uint8_t command) {
    commands_.push_back({command, current_lba()});
    auto abort = [&](uint8_t error) {
        error_ = error;
        phase_ = phase::idle;
        start_busy(DRDY | ERR);
    };
    switch (command) {
    case CMD_IDENTIFY:
        if (refuse_identify) return abort(ERR_ABRT);
        if (kind_ == kind::packet_device) {
            lba_mid_ = PACKET_SIG_MID;
            lba_high_ = PACKET_SIG_HIGH;
            abort(ERR_ABRT);
            return;
        }
        build_identify();
        transfer_command_ = command;
        transfer_left_ = 1;
        word_ = 0;
        phase_ = phase::data_in;
        start_busy(DRDY | DSC | DRQ);
        return;
    case CMD_READ:
    case CMD_WRITE:
        if (kind_ == kind::packet_device) return abort(ERR_ABRT);
        if (!(head_ & HEAD_LBA)) {
            violation("transfer without the LBA bit in the drive/head register");
            return abort(ERR_ABRT);
        }
        transfer_command_ = command;
        transfer_lba_ = current_lba();
        transfer_left_ = sector_count();
        begin_transfer();
        return;
    case CMD_FLUSH:
        if (fail_flush) return abort(ERR_ABRT);
        unflushed_.clear();
        start_busy(DRDY | DSC);
        return;
    default: abort(ERR_ABRT); return;
    }
}

void ata_model::begin_transfer() {
    phase_ = phase::idle;
    if (!addressable(transfer_lba_)) {
        error_ = ERR_IDNF;
        start_busy(DRDY | ERR);
        return;
    }
    if (fail_lba && *fail_lba == transfer_lba_) {
        error_ = ERR_UNC;
        start_busy(DRDY | ERR);
        return;
    }
    word_ = 0;
    if (transfer_command_ == CMD_READ) {
        const std::vector<uint8_t> s = sector(transfer_lba_);
        std::copy(s.begin(), s.end(), buffer_);
        phase_ = phase::data_in;
    } else {
        phase_ = phase::data_out;
    }
    start_busy(DRDY | DSC | DRQ);
}

void ata_model::finish_sector() {
    phase_ = phase::idle;
    if (transfer_command_ == CMD_IDENTIFY) {
        status_ = DRDY | DSC;
        return;
    }
    if (transfer_command_ == CMD_WRITE) {
        const uint64_t at = static_cast<uint64_t>(transfer_lba_) * SECTOR;
        if (at + SECTOR > image.size())
            violation("write beyond the image the model holds");
        else
            std::copy(buffer_, buffer_ + SECTOR, image.begin() + static_cast<std::ptrdiff_t>(at));
        unflushed_.push_back(transfer_lba_);
    }
    ++transfer_lba_;
    if (--transfer_left_ > 0) {
        begin_transfer();
    } else if (transfer_command_ == CMD_WRITE) {
        start_busy(DRDY | DSC);  // the drive takes the last sector in
    } else {
        status_ = DRDY | DSC;
    }
}
