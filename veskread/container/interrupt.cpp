#include "veskread/container/interrupt.h"

#include <atomic>
#include <chrono>

namespace vesk {

namespace {
std::atomic<InterruptHook> g_hook{nullptr};
// One thread-local object: each access to one in a shared library costs a
// call to find this thread's block, and polls run in tight loops.
struct PollState {
    int64_t work = 0;
    int32_t polls = 0;
    int64_t last_check_ns = 0;
};
thread_local PollState t_poll;
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
    PollState& t = t_poll;
    t.work += work > 0 ? work : 1;
    int64_t now = 0;
    if (t.work < kWorkBetweenChecks) {
        if (++t.polls < kPollsBetweenClockReads) return;
        t.polls = 0;
        now = now_ns();
        if (now - t.last_check_ns < kNsBetweenChecks) return;
    } else {
        now = now_ns();
    }
    t.work = 0;
    t.polls = 0;
    t.last_check_ns = now;
    if (InterruptHook hook = g_hook.load(std::memory_order_relaxed)) hook();
}

} // namespace vesk
