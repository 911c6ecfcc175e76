#include "veskread/container/interrupt.h"

#include <atomic>
#include <chrono>

namespace vesk {

namespace {
std::atomic<InterruptHook> g_hook{nullptr};
thread_local int64_t t_work = 0;
thread_local int32_t t_polls = 0;
thread_local int64_t t_last_check_ns = 0;
constexpr int64_t kWorkBetweenChecks = int64_t(4) << 20;
// Work units miss what a loop's reads cost (a positioned read of a few bytes
// can take microseconds), so every so many polls the clock decides too.
constexpr int32_t kPollsBetweenClockReads = 256;
constexpr int64_t kNsBetweenChecks = 5'000'000;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

void set_interrupt_hook(InterruptHook hook) noexcept { g_hook.store(hook); }

void poll_interrupt(int64_t work) {
    t_work += work > 0 ? work : 1;
    int64_t now = 0;
    if (t_work < kWorkBetweenChecks) {
        if (++t_polls < kPollsBetweenClockReads) return;
        t_polls = 0;
        now = now_ns();
        if (now - t_last_check_ns < kNsBetweenChecks) return;
    } else {
        now = now_ns();
    }
    t_work = 0;
    t_polls = 0;
    t_last_check_ns = now;
    if (InterruptHook hook = g_hook.load(std::memory_order_relaxed)) hook();
}

} // namespace vesk
