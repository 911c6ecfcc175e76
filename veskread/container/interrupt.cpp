#include "veskread/container/interrupt.h"

#include <atomic>
#include <chrono>

namespace vesk {

namespace interrupt_detail {
thread_local PollState t_poll;
} // namespace interrupt_detail

namespace {
std::atomic<InterruptHook> g_hook{nullptr};
constexpr int64_t kNsBetweenChecks = 5'000'000;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

void set_interrupt_hook(InterruptHook hook) noexcept { g_hook.store(hook); }

void interrupt_detail::poll_slow(PollState& t) {
    int64_t now = now_ns();
    if (t.work < kWorkBetweenChecks) {
        // The poll count ran out: the clock decides.
        t.polls = 0;
        if (now - t.last_check_ns < kNsBetweenChecks) return;
    }
    t.work = 0;
    t.polls = 0;
    t.last_check_ns = now;
    if (InterruptHook hook = g_hook.load(std::memory_order_relaxed)) hook();
}

} // namespace vesk
