#!/bin/sh
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from
# the seed corpus in tests/fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   scripts/fuzz.sh --build-only
#
# SECONDS_PER_TARGET defaults to 60; TARGET is frame_reader, process_message or
# codecs (default: all three, one after the other). The build and the corpus
# grown while fuzzing live in $FUZZ_BUILD_DIR (default out/fuzz); the seed corpus
# is never written to. Exits non-zero when a target crashes, leaks, times out on
# one input or reports a sanitizer error; the input that did it is saved as
# $FUZZ_BUILD_DIR/artifacts/<target>-crash-... and printed. Add it to the seed
# corpus once the bug is fixed, so that it is tried on every run.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build_only=0
if [ "${1:-}" = --build-only ]; then
    build_only=1
    shift
fi
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-frame_reader process_message codecs}
build=${FUZZ_BUILD_DIR:-$root/out/fuzz}

CC=${FUZZ_CC:-clang} CXX=${FUZZ_CXX:-clang++} \
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORN_BUILD_FUZZERS=ON -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF >/dev/null
fuzzers=""
for target in $targets; do fuzzers="$fuzzers ${target}_fuzzer"; done
echo "== building fuzzers:$fuzzers"
# shellcheck disable=SC2086
ninja -C "$build" $fuzzers
[ $build_only = 1 ] && exit 0

max_len_of() {
    case $1 in
        # Room for many pipelined frames, and for data and names beyond the
        # commands' length limits.
        frame_reader|process_message) echo 65536 ;;
        *) echo 8192 ;;
    esac
}

status=0
mkdir -p "$build/artifacts"
for target in $targets; do
    seeds="$root/tests/fuzz/corpus/$target"
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    # Requests' members and the command table's commands (tests/fuzz/CMakeLists.txt).
    dict=""
    case $target in
        frame_reader|process_message) dict="-dict=$build/tests/fuzz/requests.dict" ;;
    esac
    echo "== fuzzing $target for ${seconds}s"
    log="$build/$target.log"
    # shellcheck disable=SC2086
    if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/tests/fuzz/${target}_fuzzer" "$corpus" "$seeds" $dict \
            -max_total_time="$seconds" -max_len="$(max_len_of "$target")" -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        echo "   $target: ok, ${runs:-?} inputs run, corpus $(ls "$corpus" | wc -l) files"
    else
        status=1
        echo "   $target: FAILED" >&2
        tail -n 60 "$log" >&2
    fi
done
exit $status
