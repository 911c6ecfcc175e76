#include "veskread/container/freed_heap.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace vesk {

#if defined(__GLIBC__)
void keep_freed_results(size_t total_bytes) {
    // glibc raises its thresholds for freed mapped blocks of at most 32 MiB,
    // a block's size counting its header, rounded up to a page.
    constexpr size_t kMostRaised = (size_t(32) << 20) - 2 * 4096;
    static std::atomic<size_t> raised_to{0};
    size_t bytes = std::min(total_bytes, kMostRaised);
    size_t before = raised_to.load(std::memory_order_relaxed);
    do {
        if (bytes <= before) return;
    } while (!raised_to.compare_exchange_weak(before, bytes, std::memory_order_relaxed));
    // Never touched: when glibc maps it, it costs no page. The barrier keeps
    // the compiler from dropping the pair.
    void* block = std::malloc(bytes);
    asm volatile("" : : "r"(block) : "memory");
    std::free(block);
}
#else
void keep_freed_results(size_t) {}
#endif

} // namespace vesk
