#include "budget.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace vesk::fuzz {

namespace {

constexpr size_t kMemorySlack = size_t(64) << 20;
constexpr size_t kMemoryPerByte = 8;
// Work: generous against the one-second-per-megabyte rule, far below the
// gigabytes an amplification produces.
constexpr size_t kReadBytesSlack = size_t(256) << 20;
constexpr size_t kReadBytesPerByte = 64;
constexpr size_t kReadCallsSlack = size_t(4) << 20;
constexpr size_t kReadCallsPerByte = 16;

struct Account {
    bool active = false;
    size_t input = 0;
    // Bytes allocated less bytes freed since the budget began; frees of older
    // blocks may take it below zero.
    long long balance = 0;
    size_t resident = 0;
    size_t read_bytes = 0;
    size_t read_calls = 0;
    size_t memory_limit = 0;
};

Account g;

[[noreturn]] void overspent(const char* what, size_t spent, size_t limit) {
    std::fprintf(stderr, "==budget== %s: %zu exceeds %zu allowed for a %zu-byte input\n", what,
                 spent, limit, g.input);
    std::abort();
}

void check_memory(size_t adding) {
    long long total = g.balance + static_cast<long long>(g.resident);
    if (total < 0) total = 0;
    size_t want = static_cast<size_t>(total) + adding;
    if (want > g.memory_limit || adding > g.memory_limit) {
        g.active = false; // printing must not recurse into the check
        overspent("memory", adding > g.memory_limit ? adding : want, g.memory_limit);
    }
}

void on_alloc(void* p) {
    if (!g.active) return;
    g.balance += static_cast<long long>(malloc_usable_size(p));
}

void on_free(void* p) {
    if (!g.active || !p) return;
    g.balance -= static_cast<long long>(malloc_usable_size(p));
}

void* allocate(size_t n, size_t align) {
    if (g.active) check_memory(n);
    if (n == 0) n = 1;
    void* p = align > alignof(std::max_align_t)
                  ? std::aligned_alloc(align, (n + align - 1) / align * align)
                  : std::malloc(n);
    if (p) on_alloc(p);
    return p;
}

} // namespace

Budget::Budget(size_t input_size) {
    if (g.active) {
        std::fprintf(stderr, "==budget== nested budgets\n");
        std::abort();
    }
    g = Account{};
    g.input = input_size;
    g.memory_limit = kMemorySlack + kMemoryPerByte * input_size;
    // A fixed limit instead, to check that the accounting sees allocations.
    if (const char* fixed = std::getenv("VESK_FUZZ_MEMORY_LIMIT"))
        g.memory_limit = std::strtoull(fixed, nullptr, 10);
    g.active = true;
}

Budget::~Budget() { g.active = false; }

void Budget::charge_resident(size_t bytes) {
    if (!g.active) return;
    g.resident = bytes;
    check_memory(0);
}

void Budget::charge_read(size_t bytes) {
    if (!g.active) return;
    g.read_bytes += bytes;
    g.read_calls += 1;
    size_t byte_limit = kReadBytesSlack + kReadBytesPerByte * g.input;
    size_t call_limit = kReadCallsSlack + kReadCallsPerByte * g.input;
    if (g.read_bytes > byte_limit) {
        g.active = false;
        overspent("bytes read", g.read_bytes, byte_limit);
    }
    if (g.read_calls > call_limit) {
        g.active = false;
        overspent("reads", g.read_calls, call_limit);
    }
}

size_t CountingSource::read_at(int64_t offset, void* dst, size_t n) const {
    size_t got = mem_.read_at(offset, dst, n);
    Budget::charge_read(got);
    return got;
}

ZeroPages::ZeroPages(size_t bytes) : bytes_(bytes) {
    // np.zeros of more than a machine's memory fails with MemoryError, so a
    // larger map ends there; and resident() scans every page of the mapping.
    constexpr size_t kLargestArray = size_t(64) << 30;
    if (bytes == 0 || bytes > kLargestArray) return;
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) data_ = p;
}

ZeroPages::~ZeroPages() {
    if (data_) ::munmap(data_, bytes_);
}

size_t ZeroPages::resident() const {
    if (!data_) return 0;
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const size_t pages = (bytes_ + page - 1) / page;
    // numpy advises huge pages from 4 MiB on; then a written page commits
    // its whole huge page.
    constexpr size_t kHugePage = size_t(2) << 20;
    const size_t granule = bytes_ >= (size_t(4) << 20) ? kHugePage : page;
    const auto base = reinterpret_cast<uintptr_t>(data_);
    size_t count = 0;
    uintptr_t last_granule = UINTPTR_MAX;
    // mincore in slices keeps its vector small however large the mapping.
    constexpr size_t kSlice = 1 << 16;
    unsigned char flags[kSlice];
    for (size_t first = 0; first < pages; first += kSlice) {
        size_t n = pages - first < kSlice ? pages - first : kSlice;
        if (::mincore(static_cast<char*>(data_) + first * page, n * page, flags) != 0) break;
        for (size_t i = 0; i < n; ++i) {
            uintptr_t g = (base + (first + i) * page) / granule;
            if (!(flags[i] & 1) || g == last_granule) continue;
            last_granule = g;
            ++count;
        }
    }
    return std::min(count * granule, bytes_);
}

} // namespace vesk::fuzz

// Every C++ allocation goes through these, so the core's containers count.
void* operator new(size_t n) {
    if (void* p = vesk::fuzz::allocate(n, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return vesk::fuzz::allocate(n, 0); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return vesk::fuzz::allocate(n, 0);
}
void* operator new(size_t n, std::align_val_t a) {
    if (void* p = vesk::fuzz::allocate(n, static_cast<size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept {
    vesk::fuzz::on_free(p);
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void operator delete(void* p, std::align_val_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::align_val_t) noexcept { operator delete(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { operator delete(p); }
