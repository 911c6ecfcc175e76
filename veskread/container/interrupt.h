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

// Records `work` units (about a byte read or a value produced) on this
// thread and runs the hook when about a few milliseconds' worth has
// accumulated since it last ran, or a few milliseconds have passed.
void poll_interrupt(int64_t work = 64);

} // namespace vesk
