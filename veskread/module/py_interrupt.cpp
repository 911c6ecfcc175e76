// The core's interrupt hook for the interpreter: signal handlers run only
// with the interpreter lock held, so a read that released it takes it back
// for the check. The exception a handler raises stays set on the thread and
// run_core reports it once the read has unwound.
#include "veskread/module/py_interrupt.h"

#include "veskread/container/interrupt.h"
#include "veskread/module/py_errors.h"

namespace vesk::py {

namespace {

void check_signals() {
    if (PyGILState_Check()) {
        if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
        return;
    }
    PyGILState_STATE state = PyGILState_Ensure();
    int r = PyErr_CheckSignals();
    PyGILState_Release(state);
    if (r < 0) throw PythonErrorSet{};
}

} // namespace

void install_interrupt_hook() { set_interrupt_hook(check_signals); }

} // namespace vesk::py
