// A way for the embedding program to stop a long read.
//
// The core knows nothing of signals or interpreters. Loops whose length a
// file decides report their work here now and then; once enough work has
// gone by, the hook the program installed runs and may throw to unwind the
// read (the Python binding checks for Ctrl-C there).
#pragma once

#include <cstdint>

namespace vesk {

using InterruptHook = void (*)();

// Process-wide; nullptr (the default) means nothing is ever interrupted.
void set_interrupt_hook(InterruptHook hook) noexcept;

namespace interrupt_detail {
// One thread-local object, so that a poll costs one access to this thread's
// block; polls run once per value or block in tight loops.
struct PollState {
    int64_t work = 0;
    int32_t polls = 0;
    int64_t last_check_ns = 0;
};
extern thread_local PollState t_poll;
inline constexpr int64_t kWorkBetweenChecks = int64_t(4) << 20;
// Work units miss what a loop's reads cost (a positioned read of a few bytes
// can take microseconds), so every so many polls the clock decides too.
inline constexpr int32_t kPollsBetweenClockReads = 256;
void poll_slow(PollState& t);
} // namespace interrupt_detail

// Records `work` units (about a byte read or a value produced) on this
// thread and runs the hook when about a few milliseconds' worth has
// accumulated since it last ran, or a few milliseconds have passed.
inline void poll_interrupt(int64_t work = 64) {
    using namespace interrupt_detail;
    PollState& t = t_poll;
    t.work += work > 0 ? work : 1;
    if (t.work < kWorkBetweenChecks && ++t.polls < kPollsBetweenClockReads) [[likely]]
        return;
    poll_slow(t);
}

} // namespace vesk
