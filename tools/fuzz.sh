#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UndefinedBehavior-
# Sanitizer into build/fuzz and runs each for a given time.
#
#   tools/fuzz.sh [-t SECONDS] [-j PARALLEL] [--merge] [TARGET...]
#
# -t   seconds per target (default 60; 0 only builds, and merges with --merge);
# -j   targets run at once (default 2).
# Targets default to all of fuzz/CMakeLists.txt (names with or without the
# fuzz_ prefix). Each run reads the committed seeds in fuzz/corpus/<name>
# and writes what it discovers to build/fuzz/corpus/<name>; crashes, leaks,
# timeouts and budget overruns go to build/fuzz/findings/<name>/, logs to
# build/fuzz/logs/. --merge then minimises seeds plus discoveries back into
# fuzz/corpus/<name> (review and commit that). Exits non-zero on any finding.
#
# clang and libFuzzer come from Debian's packages and are installed when
# missing (as root, or through sudo).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=60
parallel=2
merge=0
targets=()
while [[ $# -gt 0 ]]; do
    case "$1" in
    -t) seconds=$2; shift 2 ;;
    -j) parallel=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    -h | --help) sed -n '2,17p' "$0"; exit 0 ;;
    *) targets+=("fuzz_${1#fuzz_}"); shift ;;
    esac
done
if [[ ${#targets[@]} -eq 0 ]]; then
    read -r -a targets <<<"$(sed -n '/^set(VESK_FUZZ_TARGETS/,/)/p' "$root/fuzz/CMakeLists.txt" |
        tr -d '()' | sed 's/set//; s/VESK_FUZZ_TARGETS//' | tr '\n' ' ')"
fi

llvm=16
cxx="clang++-$llvm"
fuzzer_lib="/usr/lib/llvm-$llvm/lib/clang/$llvm/lib/linux/libclang_rt.fuzzer-x86_64.a"
if ! command -v "$cxx" >/dev/null 2>&1 || [[ ! -e "$fuzzer_lib" ]]; then
    echo "=== installing clang-$llvm and libFuzzer"
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq "clang-$llvm" "libfuzzer-$llvm-dev" \
        "libclang-rt-$llvm-dev" </dev/null >/dev/null
fi

build=${FUZZ_BUILD:-$root/build/fuzz}
# -O1 with line tables: quick to build, fast enough to fuzz, readable stacks.
CXX="$cxx" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only" \
    -DVESK_LIBFUZZER=ON -DVESK_SANITIZE=ON -DVESK_WERROR=OFF -DVESK_BUILD_CLI=OFF >/dev/null
nice -n 10 ninja -C "$build" -j "${JOBS:-2}" "${targets[@]}"

export ASAN_OPTIONS=abort_on_error=1:handle_abort=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/logs"

run_one() {
    local target=$1 name=${1#fuzz_}
    local work="$build/corpus/$name" found="$build/findings/$name"
    rm -rf "$found"
    mkdir -p "$work" "$found" "$root/fuzz/corpus/$name"
    nice -n 10 "$build/fuzz/$target" "$work" "$root/fuzz/corpus/$name" \
        -dict="$root/fuzz/vesk.dict" -max_total_time="$seconds" -rss_limit_mb=2048 \
        -timeout=10 -artifact_prefix="$found/" -print_final_stats=1 \
        >"$build/logs/$name.log" 2>&1
}
export -f run_one
export build root seconds

status=0
if [[ $seconds -gt 0 ]]; then
    echo "=== fuzzing ${#targets[@]} targets for ${seconds}s each, $parallel at a time"
    printf '%s\n' "${targets[@]}" | xargs -P "$parallel" -I{} bash -c 'run_one {} || true'

    printf '%-24s %12s %8s %9s\n' target executions corpus findings
    for target in "${targets[@]}"; do
        name=${target#fuzz_}
        log="$build/logs/$name.log"
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        corpus=$(find "$build/corpus/$name" "$root/fuzz/corpus/$name" -type f | wc -l)
        findings=$(find "$build/findings/$name" -type f | wc -l)
        printf '%-24s %12s %8s %9s\n' "$target" "${execs:-?}" "$corpus" "$findings"
        if [[ $findings -ne 0 || -z $execs ]]; then
            status=1
            echo "--- $log" >&2
            grep -E '^==[0-9]+==|==budget==|SUMMARY|runtime error|Test unit written' "$log" | head -20 >&2 || true
        fi
    done
fi

if [[ $merge -eq 1 ]]; then
    for target in "${targets[@]}"; do
        name=${target#fuzz_}
        fresh=$(mktemp -d)
        mkdir -p "$build/corpus/$name"
        "$build/fuzz/$target" -merge=1 "$fresh" "$root/fuzz/corpus/$name" "$build/corpus/$name" \
            -rss_limit_mb=2048 -timeout=10 >"$build/logs/$name.merge.log" 2>&1
        rm -rf "$root/fuzz/corpus/$name"
        mv "$fresh" "$root/fuzz/corpus/$name"
        chmod 755 "$root/fuzz/corpus/$name"
    done
    du -sh "$root/fuzz/corpus"
fi
exit $status
