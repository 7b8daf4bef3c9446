// Polled PIO driver for the master disk on the primary ATA channel.
//
// The module owns the channel's task-file ports and the identity of the one drive
// it found. The identity (model, serial, size) is either wholly valid with
// ata_drive_exists set, or all zero; every wait on the device ends at a deadline
// on the time-stamp counter, so no state of the hardware, a missing drive
// included, can hold the kernel.
#include "ata.h"

#include "clock.h"
#include "io.h"
#include "main.h"

namespace {

// Primary channel task file.
constexpr uint16_t ATA_DATA = 0x1F0;
constexpr uint16_t ATA_SECTOR_COUNT = 0x1F2;
constexpr uint16_t ATA_LBA_LOW = 0x1F3;
constexpr uint16_t ATA_LBA_MID = 0x1F4;
constexpr uint16_t ATA_LBA_HIGH = 0x1F5;
constexpr uint16_t ATA_DRIVE_HEAD = 0x1F6;
constexpr uint16_t ATA_STATUS = 0x1F7;
constexpr uint16_t ATA_COMMAND = 0x1F7;
constexpr uint16_t ATA_ALT_STATUS = 0x3F6;
constexpr uint16_t ATA_DEVICE_CONTROL = 0x3F6;

constexpr uint8_t ATA_SR_BSY = 0x80;
constexpr uint8_t ATA_SR_DF = 0x20;
constexpr uint8_t ATA_SR_DRQ = 0x08;
constexpr uint8_t ATA_SR_ERR = 0x01;

constexpr uint8_t ATA_CMD_IDENTIFY = 0xEC;
constexpr uint8_t ATA_CMD_READ_SECTORS = 0x20;
constexpr uint8_t ATA_CMD_WRITE_SECTORS = 0x30;
constexpr uint8_t ATA_CMD_FLUSH_CACHE = 0xE7;

constexpr uint8_t ATA_SELECT_MASTER = 0xA0;
constexpr uint8_t ATA_SELECT_MASTER_LBA = 0xE0;
constexpr uint8_t ATA_CTRL_SRST = 0x04;
constexpr uint8_t ATA_CTRL_RELEASE = 0x00;

// A floating bus (nothing attached) reads all ones; a channel whose drive is
// missing may also read all zeros.
constexpr uint8_t ATA_STATUS_FLOATING = 0xFF;
constexpr uint8_t ATA_STATUS_NONE = 0x00;

constexpr int ATA_SETTLE_READS = 4;
// Bound of every wait on the drive, in time: a count of status reads says
// nothing of how long they took (a loaded emulator gave up on a drive that had
// its data ready), and no tick arrives inside a system call to count instead.
// Generous for one sector, even for an emulator on a host loaded enough that a
// read took over 500 ms to complete (seen with other emulators sharing two
// cores); a drive that needs longer is reported as a timeout, not waited for.
constexpr uint64_t ATA_WAIT_MS = 5000;

// LBA28: the command carries 28 address bits; the drive's own size is the
// tighter limit whenever it is smaller.
constexpr uint32_t ATA_LBA28_LIMIT = 1u << 28;
constexpr uint32_t ATA_LBA_HIGH_NIBBLE_SHIFT = 24;
constexpr uint8_t ATA_LBA_HIGH_NIBBLE_MASK = 0x0F;

constexpr uint32_t ATA_WORDS_PER_SECTOR = ATA_SECTOR_BYTES / 2;
constexpr uint32_t SECTORS_PER_MIB = 2048;

// IDENTIFY DEVICE words used.
constexpr uint32_t ID_SERIAL_WORD = 10;
constexpr uint32_t ID_SERIAL_CHARS = 20;
constexpr uint32_t ID_MODEL_WORD = 27;
constexpr uint32_t ID_MODEL_CHARS = 40;
constexpr uint32_t ID_LBA28_SECTORS_WORD = 60;

int ata_drive_exists = 0;
uint32_t ata_sectors = 0;
char ata_model[ID_MODEL_CHARS + 1];
char ata_serial[ID_SERIAL_CHARS + 1];

void settle_delay() {
    for (int i = 0; i < ATA_SETTLE_READS; ++i) (void)inb(ATA_ALT_STATUS);
}

enum class wait_result { ready, floating, failed, timed_out };

// The status the last wait ended on, for its report.
uint8_t last_status = 0;

// Polls until BSY clears. With `floating_means_empty`, an all-ones status ends
// the wait at once: nothing is attached, and waiting out the bound would only
// delay the no-drive report. The status is read once more after the deadline
// has passed, so a wait that stalled past it does not give up unseen.
wait_result wait_not_busy(bool floating_means_empty) {
    const uint64_t deadline = clock_deadline_ms(ATA_WAIT_MS);
    for (;;) {
        const bool late = clock_passed(deadline);
        last_status = inb(ATA_STATUS);
        if (floating_means_empty && last_status == ATA_STATUS_FLOATING) return wait_result::floating;
        if ((last_status & ATA_SR_BSY) == 0) return wait_result::ready;
        if (late) return wait_result::timed_out;
    }
}

// Resets the channel's drives (SRST), as at the probe.
void reset_channel() {
    outb(ATA_DEVICE_CONTROL, ATA_CTRL_SRST);
    settle_delay();
    outb(ATA_DEVICE_CONTROL, ATA_CTRL_RELEASE);
    settle_delay();
}

// A command given up on may still finish later and leave its sectors waiting
// in the drive: the next command would read those as its own. A reset drops
// them (an emulator cancels the request), so a timeout costs that one read only.
void abandon_command() {
    reset_channel();
    (void)wait_not_busy(false);
}

bool wait_not_busy_or_report() {
    if (wait_not_busy(false) == wait_result::ready) return true;
    kprintf("[ata] Timeout waiting for BSY to clear (status=0x%x)\n", last_status);
    abandon_command();
    return false;
}

// The data-request poll of every transfer: ready once DRQ is up, failed on ERR
// or DF, timed out as wait_not_busy does.
wait_result wait_data_request() {
    const uint64_t deadline = clock_deadline_ms(ATA_WAIT_MS);
    for (;;) {
        const bool late = clock_passed(deadline);
        last_status = inb(ATA_STATUS);
        if (last_status & (ATA_SR_ERR | ATA_SR_DF)) return wait_result::failed;
        if (last_status & ATA_SR_DRQ) return wait_result::ready;
        if (late) return wait_result::timed_out;
    }
}

// A transfer's data request: true when it came; otherwise the drive's error or
// the timeout is reported.
bool transfer_ready(const char* what, uint32_t lba) {
    const wait_result r = wait_data_request();
    if (r == wait_result::timed_out) {
        kprintf("[ata] Timeout waiting for DRQ at LBA %d (status=0x%x)\n", lba, last_status);
        abandon_command();
    } else if (r != wait_result::ready)
        kprintf("[ata] %s error at LBA %d\n", what, lba);
    return r == wait_result::ready;
}

// IDENTIFY strings hold two characters per word, the first in the high byte.
// Trailing spaces are padding and are dropped; leading ones are kept.
void copy_identify_string(const uint16_t* words, uint32_t first_word, uint32_t chars, char* out) {
    for (uint32_t i = 0; i < chars / 2; ++i) {
        const uint16_t w = words[first_word + i];
        out[2 * i] = static_cast<char>(w >> 8);
        out[2 * i + 1] = static_cast<char>(w & 0xFF);
    }
    out[chars] = '\0';
    for (uint32_t i = chars; i > 0 && out[i - 1] == ' '; --i) out[i - 1] = '\0';
}

void forget_drive() {
    ata_drive_exists = 0;
    ata_sectors = 0;
    kmemset(ata_model, 0, sizeof ata_model);
    kmemset(ata_serial, 0, sizeof ata_serial);
}

// Refuses what the drive cannot address: the count is checked first so that
// lba + count never has to be formed.
bool range_ok(uint32_t lba, uint32_t count, const char* what) {
    const uint32_t limit = ata_sectors < ATA_LBA28_LIMIT ? ata_sectors : ATA_LBA28_LIMIT;
    if (count <= limit && lba <= limit - count) return true;
    kprintf("[ata] %s of %d sectors at LBA %d exceeds the %d addressable sectors\n", what, count, lba, limit);
    return false;
}

void issue(uint8_t command, uint32_t lba) {
    outb(ATA_DRIVE_HEAD,
         static_cast<uint8_t>(ATA_SELECT_MASTER_LBA | ((lba >> ATA_LBA_HIGH_NIBBLE_SHIFT) & ATA_LBA_HIGH_NIBBLE_MASK)));
    settle_delay();
    outb(ATA_SECTOR_COUNT, 1);
    outb(ATA_LBA_LOW, static_cast<uint8_t>(lba));
    outb(ATA_LBA_MID, static_cast<uint8_t>(lba >> 8));
    outb(ATA_LBA_HIGH, static_cast<uint8_t>(lba >> 16));
    outb(ATA_COMMAND, command);
}

}  // namespace

void ata_init() {
    // A probe starts from nothing, so a failed one never leaves an older identity.
    forget_drive();
    kprintf("[ata] Initializing primary ATA controller...\n");

    outb(ATA_DRIVE_HEAD, ATA_SELECT_MASTER);
    settle_delay();
    reset_channel();

    if (wait_not_busy(true) == wait_result::timed_out) {
        kprintf("[ata] Timeout waiting for BSY to clear (status=0x%x)\n", last_status);
        return;
    }
    const uint8_t status = inb(ATA_STATUS);
    if (status == ATA_STATUS_NONE || status == ATA_STATUS_FLOATING) {
        kprintf("[ata] No drive detected (status=0x%x)\n", status);
        return;
    }
    kprintf("[ata] Drive detected, status=0x%x\n", status);

    outb(ATA_DRIVE_HEAD, ATA_SELECT_MASTER);
    outb(ATA_SECTOR_COUNT, 0);
    outb(ATA_LBA_LOW, 0);
    outb(ATA_LBA_MID, 0);
    outb(ATA_LBA_HIGH, 0);
    outb(ATA_COMMAND, ATA_CMD_IDENTIFY);
    settle_delay();

    if (inb(ATA_STATUS) == ATA_STATUS_NONE) {
        kprintf("[ata] Drive does not support IDENTIFY\n");
        return;
    }
    if (!wait_not_busy_or_report()) return;
    // A packet device aborts IDENTIFY DEVICE and leaves its signature here; it is
    // looked at before the DRQ poll, which would only see the abort.
    const uint8_t sig_mid = inb(ATA_LBA_MID);
    const uint8_t sig_high = inb(ATA_LBA_HIGH);
    if (sig_mid != 0 || sig_high != 0) {
        kprintf("[ata] Not an ATA drive (ATAPI?)\n");
        return;
    }
    const wait_result identified = wait_data_request();
    if (identified != wait_result::ready) {
        kprintf(identified == wait_result::timed_out ? "[ata] IDENTIFY timeout (status=0x%x)\n"
                                                     : "[ata] IDENTIFY aborted (status=0x%x)\n",
                last_status);
        return;
    }

    uint16_t identify[ATA_WORDS_PER_SECTOR];
    for (uint32_t i = 0; i < ATA_WORDS_PER_SECTOR; ++i) identify[i] = inw(ATA_DATA);

    copy_identify_string(identify, ID_MODEL_WORD, ID_MODEL_CHARS, ata_model);
    copy_identify_string(identify, ID_SERIAL_WORD, ID_SERIAL_CHARS, ata_serial);
    ata_drive_exists = 1;
    ata_sectors = static_cast<uint32_t>(identify[ID_LBA28_SECTORS_WORD]) |
                  (static_cast<uint32_t>(identify[ID_LBA28_SECTORS_WORD + 1]) << 16);

    kprintf("[ata] Model:    ");
    kprint_escaped(ata_model, kstrlen(ata_model));
    kprintf("\n[ata] Serial:   ");
    kprint_escaped(ata_serial, kstrlen(ata_serial));
    kprintf("\n");
    kprintf("[ata] Sectors:  %d (%d MB)\n", ata_sectors, ata_sectors / SECTORS_PER_MIB);
    kprintf("[ata] ATA PIO driver ready.\n");
}

int ata_read_sectors(uint32_t lba, uint32_t count, void* buffer) {
    if (!ata_drive_exists) return -1;
    if (count == 0) return 0;
    if (!range_ok(lba, count, "Read")) return -1;

    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t n = 0; n < count; ++n, ++lba, out += ATA_SECTOR_BYTES) {
        if (!wait_not_busy_or_report()) return -1;
        issue(ATA_CMD_READ_SECTORS, lba);
        if (!transfer_ready("Read", lba)) return -1;
        for (uint32_t i = 0; i < ATA_WORDS_PER_SECTOR; ++i) {
            const uint16_t w = inw(ATA_DATA);
            out[2 * i] = static_cast<uint8_t>(w);
            out[2 * i + 1] = static_cast<uint8_t>(w >> 8);
        }
    }
    return 0;
}

int ata_write_sectors(uint32_t lba, uint32_t count, const void* buffer) {
    if (!ata_drive_exists) return -1;
    if (count == 0) return 0;
    if (!range_ok(lba, count, "Write")) return -1;

    const auto* in = static_cast<const uint8_t*>(buffer);
    for (uint32_t n = 0; n < count; ++n, ++lba, in += ATA_SECTOR_BYTES) {
        if (!wait_not_busy_or_report()) return -1;
        issue(ATA_CMD_WRITE_SECTORS, lba);
        if (!transfer_ready("Write", lba)) return -1;
        for (uint32_t i = 0; i < ATA_WORDS_PER_SECTOR; ++i)
            outw(ATA_DATA, static_cast<uint16_t>(in[2 * i] | (in[2 * i + 1] << 8)));
        // The drive reports a failed write only once it has taken the data; a
        // flush that fails means the sector may never reach the medium.
        if (!wait_not_busy_or_report()) return -1;
        if (inb(ATA_STATUS) & (ATA_SR_ERR | ATA_SR_DF)) {
            kprintf("[ata] Write error at LBA %d\n", lba);
            return -1;
        }
        outb(ATA_COMMAND, ATA_CMD_FLUSH_CACHE);
        if (!wait_not_busy_or_report()) return -1;
        if (inb(ATA_STATUS) & (ATA_SR_ERR | ATA_SR_DF)) {
            kprintf("[ata] Cache flush failed at LBA %d\n", lba);
            return -1;
        }
    }
    return 0;
}

int ata_block_read(uint32_t lba, uint32_t count, void* buffer) {
    return ata_read_sectors(lba, count, buffer);
}

int ata_is_present() { return ata_drive_exists; }
uint32_t ata_get_sector_count() { return ata_sectors; }
const char* ata_get_model() { return ata_model; }
const char* ata_get_serial() { return ata_serial; }
