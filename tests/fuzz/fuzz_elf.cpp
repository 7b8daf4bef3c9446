// Fuzz target: an ELF image for elf64_load. Out of bounds: the image is an exact-size heap
// buffer; in fake memory only the user image area is accessible, its pages discarded before
// each input so that touched pages can be told. Checked: a refused image touches nothing; an
// accepted one has PT_LOAD segments inside the image and the area, filesz <= memsz, its entry
// in an executable segment, the segments' bounds as load_start/load_end, nothing touched
// beyond them and exactly the bytes of zero-filling and copying the segments in order.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "elf.h"
#include "fake_phys.h"
#include "fuzz_support.h"
#include "layout.h"

namespace {

constexpr uint64_t PAGE = 4096;
constexpr uint64_t AREA = USER_IMAGE_END - USER_IMAGE_BASE;
constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PF_X = 1;

struct phdr {
    uint32_t type, flags;
    uint64_t offset, vaddr, paddr, filesz, memsz, align;
};
static_assert(sizeof(phdr) == 56);

template <typename T>
T at(const uint8_t* p, uint64_t off) {
    T v;
    std::memcpy(&v, p + off, sizeof v);
    return v;
}

void check_loaded(const uint8_t* image, size_t size, const elf64_load_result& r) {
    const auto entry = at<uint64_t>(image, 24), phoff = at<uint64_t>(image, 32);
    const auto phentsize = at<uint16_t>(image, 54), phnum = at<uint16_t>(image, 56);
    FUZZ_CHECK(r.entry == entry);
    std::vector<phdr> loads;
    bool entry_in_code = false;
    uint64_t low = ~0ull, high = 0;
    for (uint32_t i = 0; i < phnum; ++i) {
        const uint64_t off = phoff + static_cast<uint64_t>(i) * phentsize;
        FUZZ_CHECK(off <= size && sizeof(phdr) <= size - off);
        const auto p = at<phdr>(image, off);
        if (p.type != PT_LOAD) continue;
        FUZZ_CHECK(p.offset <= size && p.filesz <= size - p.offset && p.filesz <= p.memsz);
        FUZZ_CHECK(p.vaddr >= USER_IMAGE_BASE && p.vaddr <= USER_IMAGE_END && p.memsz <= USER_IMAGE_END - p.vaddr);
        if ((p.flags & PF_X) && entry >= p.vaddr && entry - p.vaddr < p.memsz) entry_in_code = true;
        low = std::min(low, p.vaddr);
        high = std::max(high, p.vaddr + p.memsz);
        loads.push_back(p);
    }
    FUZZ_CHECK(!loads.empty() && entry_in_code && r.load_start == low && r.load_end == high);
    const uint64_t first_page = low / PAGE * PAGE, end_page = (high + PAGE - 1) / PAGE * PAGE;
    FUZZ_CHECK(!fuzz_support::phys_touched(USER_IMAGE_BASE, first_page - USER_IMAGE_BASE));
    FUZZ_CHECK(!fuzz_support::phys_touched(end_page, USER_IMAGE_END - end_page));

    std::vector<uint8_t> expect(end_page - first_page, 0);
    for (const auto& p : loads) {
        std::memset(expect.data() + (p.vaddr - first_page), 0, p.memsz);
        std::memcpy(expect.data() + (p.vaddr - first_page), image + p.offset, p.filesz);
    }
    FUZZ_CHECK(std::memcmp(expect.data(), fake_phys::at(first_page), expect.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::quiet_bus();
    fake_phys::ensure();
    fuzz_support::phys_forbid(0, USER_IMAGE_BASE);
    fuzz_support::phys_forbid(USER_IMAGE_END, fake_phys::SIZE - USER_IMAGE_END);
    fuzz_support::phys_discard(USER_IMAGE_BASE, AREA);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    const bool valid = elf64_validate(data, static_cast<uint32_t>(size)) == 0;
    const elf64_load_result r = elf64_load(data, static_cast<uint32_t>(size));
    if (r.success) {
        FUZZ_CHECK(valid);
        check_loaded(data, size, r);
    } else {
        FUZZ_CHECK(!fuzz_support::phys_touched(USER_IMAGE_BASE, AREA) && r.load_end == 0 && r.load_start == ~0ull);
    }
    if (size >= 32) FUZZ_CHECK(elf64_get_entry(data) == at<uint64_t>(data, 24));
    fuzz_support::phys_discard(USER_IMAGE_BASE, AREA);
    fuzz_support::end_input();
    return 0;
}
