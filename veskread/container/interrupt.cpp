#include "veskread/container/interrupt.h"

#include <atomic>

namespace vesk {

namespace {
std::atomic<InterruptHook> g_hook{nullptr};
thread_local int64_t t_work = 0;
constexpr int64_t kWorkBetweenChecks = int64_t(4) << 20;
} // namespace

void set_interrupt_hook(InterruptHook hook) noexcept { g_hook.store(hook); }

void poll_interrupt(int64_t work) {
    t_work += work > 0 ? work : 1;
    if (t_work < kWorkBetweenChecks) return;
    t_work = 0;
    if (InterruptHook hook = g_hook.load(std::memory_order_relaxed)) hook();
}

} // namespace vesk
