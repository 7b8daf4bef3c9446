// What the kernel gets from the machine, for the unit tests and the fuzz targets: fake
// physical memory, a scripted processor, the assembly routines' stand-ins (a program
// "runs" by returning at once) and a recorder of port I/O that answers from a script.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace host {

constexpr uint64_t PHYS_SIZE = 0x48000000;  // the mapped GiB and a little more, committed lazily
uint8_t* phys(uint64_t addr);
// For the fuzz targets: pages made inaccessible (PROT_NONE) or not, so that a stray access
// faults where it happens; whether a page was written since it was last discarded.
void protect(uint64_t addr, uint64_t len, int prot);
bool touched(uint64_t addr, uint64_t len);
void discard(uint64_t addr, uint64_t len);
void build_boot_tables();  // PML4 0x1000, PDPT 0x2000, 2 MiB supervisor pages at 0x3000

struct halted {};  // thrown by cpu_halt_forever
// Thrown by a port read once RECORD_LIMIT accesses are recorded: a wait that would never end.
struct runaway {};
constexpr size_t RECORD_LIMIT = 1 << 22;

struct port_io {
    uint16_t port, value;
    bool write;
    bool operator==(const port_io&) const = default;
};
extern std::vector<port_io> ports;                         // every access, in order
extern std::map<uint16_t, std::deque<uint16_t>> script;   // next answers of a port
extern std::map<uint16_t, uint16_t> fallback;             // then this (else all ones)
std::vector<port_io> accesses_to(std::initializer_list<uint16_t> which);
std::string serial();  // the bytes written to COM1 since the last reset
void reset();          // ports, script and fallback

}  // namespace host
