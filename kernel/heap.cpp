// Kernel heap: first fit over one address-ordered list of blocks, each a 24-byte
// header followed by its payload, carved from chunks of physically adjacent frames
// taken from the page allocator. Invariant: every block lies inside one chunk, and
// a block is merged only with a successor that begins exactly where it ends, so no
// block ever spans a gap between chunks (frames come lowest-first, but the
// reserved user area and holes in the memory map break their runs).
#include "heap.h"

#include "kassert.h"
#include "layout.h"
#include "main.h"
#include "phys.h"
#include "pmm.h"

namespace {

struct block_header {
    uint64_t size;  // payload bytes after the header, a multiple of 8
    uint8_t free;   // 1 = free, 0 = in use
    block_header* next;
};
static_assert(sizeof(block_header) == 24);
static_assert(offsetof(block_header, free) == 8);
static_assert(offsetof(block_header, next) == 16);

constexpr uint64_t HEADER_BYTES = sizeof(block_header);
constexpr uint64_t ALIGN = 8;
constexpr uint64_t MIN_SPLIT_PAYLOAD = 16;
constexpr uint64_t INITIAL_PAGES = 0x800;  // 8 MiB
constexpr uint64_t INITIAL_MB = INITIAL_PAGES * PAGE_BYTES / (1024 * 1024);
constexpr uint64_t MAX_SIZE = ~0ull;

block_header* free_list = nullptr;  // every block, free or not, in address order
uint64_t heap_total = 0;
uint64_t heap_used = 0;

uint8_t* bytes(block_header* b) { return reinterpret_cast<uint8_t*>(b); }

// Where the block's payload ends: a successor that starts here is its memory
// neighbour, anything else lies across a gap.
uint8_t* block_end(block_header* b) { return bytes(b) + HEADER_BYTES + b->size; }

block_header* make_block(uint64_t frame, uint64_t len) {
    auto* b = static_cast<block_header*>(phys_ptr(frame));
    b->size = len - HEADER_BYTES;
    b->free = 1;
    b->next = nullptr;
    return b;
}

struct chain {
    block_header* head = nullptr;
    block_header* tail = nullptr;
};

void chain_append(chain& c, block_header* b) {
    if (c.tail == nullptr)
        c.head = b;
    else
        c.tail->next = b;
    c.tail = b;
}

void free_frames(uint64_t start, uint64_t end) {
    for (uint64_t frame = start; frame < end; frame += PAGE_BYTES) pmm_free_page(frame);
}

// Gives back every frame of a chain that was never joined to the heap.
void release_chain(const chain& c) {
    for (block_header* b = c.head; b != nullptr; b = b->next) {
        const uint64_t start = ptr_phys(b);
        free_frames(start, start + HEADER_BYTES + b->size);
    }
}

// Takes `pages` frames, one at a time, and makes each run of adjacent frames one
// free block. The blocks are joined to the heap only when every frame came: on a
// shortage the frames already taken go back to the page allocator.
bool take_chunks(uint64_t pages) {
    chain c;
    uint64_t run_start = 0;
    uint64_t run_end = 0;
    for (uint64_t i = 0; i < pages; ++i) {
        const uint64_t frame = pmm_alloc_page();
        if (frame == 0) {
            release_chain(c);
            if (i > 0) free_frames(run_start, run_end);
            return false;
        }
        if (i > 0 && frame != run_end) {
            chain_append(c, make_block(run_start, run_end - run_start));
            run_start = frame;
        } else if (i == 0) {
            run_start = frame;
        }
        run_end = frame + PAGE_BYTES;
    }
    if (pages > 0) chain_append(c, make_block(run_start, run_end - run_start));

    if (free_list == nullptr) {
        free_list = c.head;
    } else {
        block_header* tail = free_list;
        while (tail->next != nullptr) tail = tail->next;
        tail->next = c.head;
    }
    heap_total += pages * PAGE_BYTES;
    return true;
}

block_header* first_fit(uint64_t n) {
    for (block_header* b = free_list; b != nullptr; b = b->next)
        if (b->free && b->size >= n) return b;
    return nullptr;
}

}  // namespace

void heap_init() {
    heap_used = 0;
    heap_total = 0;
    free_list = nullptr;
    if (!take_chunks(INITIAL_PAGES)) kprintf("  [WARN] Heap: failed to pre-allocate %d MB\n", INITIAL_MB);
    kprintf("  [OK] Heap: %d KB available\n", heap_total / 1024);
}

void* kmalloc(uint64_t size) {
    // Requests within a header of 2^64 cannot be rounded or given a header
    // without wrapping; like any request too large for memory, they fail.
    if (size == 0 || size > MAX_SIZE - (ALIGN - 1)) return nullptr;
    const uint64_t n = (size + ALIGN - 1) & ~(ALIGN - 1);
    if (n > MAX_SIZE - HEADER_BYTES) return nullptr;

    for (;;) {
        block_header* b = first_fit(n);
        if (b != nullptr) {
            if (b->size >= n + HEADER_BYTES + MIN_SPLIT_PAYLOAD) {
                auto* rest = reinterpret_cast<block_header*>(bytes(b) + HEADER_BYTES + n);
                rest->size = b->size - n - HEADER_BYTES;
                rest->free = 1;
                rest->next = b->next;
                b->next = rest;
                b->size = n;
            }
            b->free = 0;
            heap_used += b->size + HEADER_BYTES;
            return bytes(b) + HEADER_BYTES;
        }

        const uint64_t need = n + HEADER_BYTES < PAGE_BYTES ? PAGE_BYTES : n + HEADER_BYTES;
        const uint64_t pages = need / PAGE_BYTES + (need % PAGE_BYTES != 0 ? 1 : 0);
        // Asking for more frames than are free would only strand all of them.
        // Frames taken here join the heap even when they did not form one run
        // large enough (the search then runs again and may grow once more);
        // every round takes frames, so this ends when memory does.
        if (pages > pmm_get_free_pages()) return nullptr;
        if (!take_chunks(pages)) return nullptr;
    }
}

void* kcalloc(uint64_t count, uint64_t size) {
    if (count != 0 && size > MAX_SIZE / count) return nullptr;
    const uint64_t total = count * size;
    void* p = kmalloc(total);
    if (p != nullptr) kmemset(p, 0, total);
    return p;
}

void kfree(void* ptr) {
    if (ptr == nullptr) return;
    auto* b = reinterpret_cast<block_header*>(static_cast<uint8_t*>(ptr) - HEADER_BYTES);
    // A block freed twice would be counted out of the heap twice and could be
    // handed to two owners.
    KASSERT(b->free == 0);
    heap_used -= b->size + HEADER_BYTES;
    b->free = 1;
    block_header* succ = b->next;
    if (succ != nullptr && succ->free && bytes(succ) == block_end(b)) {
        b->size += succ->size + HEADER_BYTES;
        b->next = succ->next;
    }
}
