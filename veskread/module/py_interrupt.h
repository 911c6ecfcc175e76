// Lets Ctrl-C stop a long read: the hook the core calls between pieces of
// work checks for signals and, when a handler raised, unwinds the read.
#pragma once

namespace vesk::py {

// Installs the hook once, at module execution.
void install_interrupt_hook();

} // namespace vesk::py
