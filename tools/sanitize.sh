#!/usr/bin/env bash
# Builds the module and the fuzz replays with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan, replays the fuzz corpora, then
# runs the test suite under them. Extra arguments go to pytest.
#
# The interpreter itself is not instrumented, so the ASan runtime is preloaded
# and Python's allocator is switched to malloc to let ASan see every block.
# Leak detection is off: the interpreter keeps objects alive until exit.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}
build="$root/build/asan"

cmake -S "$root" -B "$build" -G Ninja -DVESK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
ninja -C "$build" -j "${JOBS:-2}"

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for corpus in "$root"/fuzz/corpus/*/; do
    name=$(basename "$corpus")
    "$build/fuzz/fuzz_$name" "$corpus"
done

# libstdc++ too: without it ASan cannot find the real __cxa_throw and aborts
# at the first C++ exception the core throws.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so) $(gcc -print-file-name=libstdc++.so)" \
PYTHONMALLOC=malloc PYTHONPATH="$build" \
    "$python" -m pytest -q -p no:cacheprovider "$root/tests" "$@"
