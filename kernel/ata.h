// Polled ATA PIO driver for the primary master disk, LBA28, 512-byte sectors.
#pragma once
#include <cstdint>

constexpr uint32_t ATA_SECTOR_BYTES = 512;

void ata_init();
int ata_read_sectors(uint32_t lba, uint32_t count, void* buffer);
int ata_write_sectors(uint32_t lba, uint32_t count, const void* buffer);
int ata_block_read(uint32_t lba, uint32_t count, void* buffer);
int ata_is_present();
uint32_t ata_get_sector_count();
const char* ata_get_model();
const char* ata_get_serial();
