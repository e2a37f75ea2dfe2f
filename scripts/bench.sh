#!/bin/sh
# Builds the host and its benchmarks (in out/bench) and runs them: first the
# micro-benchmarks, then the driver, which measures the host side by side with
# its yardsticks, inside scripts/hermetic.sh with a private pcscd and private
# vpcd readers, so nothing here touches the machine's pcscd or anyone's readers.
# Prints one table and writes the same figures as JSON.
#
#   scripts/bench.sh              # the full run (a few minutes)
#   scripts/bench.sh --quick      # small counts, to try it out
#   scripts/bench.sh --only healthcheck,cold --rounds 9
#   scripts/bench.sh --reference-commit 25e67e4 --no-micro --only healthcheck,transmit,syscalls,cold
#
# --reference-commit REV builds the host of that commit (git archive, same
# configuration, in $build/reference-REV) and measures it in the same rounds as
# the reference host (an A/B run; the goals table shows both). --no-micro skips
# the micro-benchmarks. --browsers also runs the browser bench
# (tests/browser/run.sh --bench: Chromium and Firefox, a few minutes) with the host
# and, given --reference-commit, with the reference host, and puts its figures in
# the goals table. Other arguments go to the driver (vorn-scard-bridge-bench
# --help). Results land in
# $BENCH_RESULTS (default out/bench/results): bench.json, micro.json, the
# micro-benchmarks' own console output, and the hosts' logs under work/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/out/bench}
results=${BENCH_RESULTS:-$build/results}

quick=0
micro=1
browsers=0
reference=""
# The script's own options out, the driver's kept in order.
for arg in "$@"; do
    shift
    if [ "$reference" = next ]; then
        reference=$arg
        continue
    fi
    case $arg in
        --reference-commit) reference=next; continue ;;
        --no-micro) micro=0; continue ;;
        --browsers) browsers=1; continue ;;
        --quick) quick=1 ;;
    esac
    set -- "$@" "$arg"
done
[ "$reference" != next ] || { echo "bench: --reference-commit needs a commit" >&2; exit 2; }

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || [ ! -x /usr/sbin/pcscd ] ||
    [ ! -f /usr/include/benchmark/benchmark.h ] || [ ! -f /usr/include/spdlog/spdlog.h ] ||
    ! command -v strace >/dev/null; then
    "$root/scripts/install-deps.sh"
fi
launcher=""
if command -v ccache >/dev/null; then
    launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
fi
configure() { # source dir, build dir
    # shellcheck disable=SC2086 # launcher is a list of options
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=ON $launcher >/dev/null
}
# A build shows its output only when it fails.
build_quietly() { # ninja arguments...
    log=$(mktemp)
    ninja "$@" >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; echo "bench: the build failed" >&2; exit 1; }
    rm -f "$log"
}
configure "$root" "$build"
build_quietly -C "$build" vorn-scard-bridge vorn-bench-echo vorn-scard-bridge-bench \
    vorn-scard-bridge-microbench
if [ -n "$reference" ]; then
    commit=$(git -C "$root" rev-parse --short "$reference^{commit}")
    tree=$build/reference-$commit
    if [ ! -x "$tree/out/vorn-scard-bridge" ]; then
        echo "bench: building the host of $commit in $tree..." >&2
        rm -rf "$tree/src"
        mkdir -p "$tree/src"
        git -C "$root" archive "$commit" | tar -x -C "$tree/src"
        configure "$tree/src" "$tree/out"
        build_quietly -C "$tree/out" vorn-scard-bridge
    fi
    set -- --reference-host "$tree/out/vorn-scard-bridge" --reference-label "$commit" "$@"
fi
if [ $quick = 1 ]; then
    micro_args="--benchmark_repetitions=3 --benchmark_min_time=0.02"
else
    micro_args="--benchmark_repetitions=5 --benchmark_min_time=0.2"
fi

rm -rf "$results/work" "$results/bench.json" "$results/micro.json" "$results/micro.txt" \
    "$results/browser-host.json" "$results/browser-reference.json"
mkdir -p "$results/work"
if [ $micro = 1 ]; then
    echo "bench: micro-benchmarks..." >&2
    # shellcheck disable=SC2086 # micro_args is a list of options
    "$build/bench/vorn-scard-bridge-microbench" $micro_args \
        --benchmark_out="$results/micro.json" --benchmark_out_format=json >"$results/micro.txt"
    set -- --micro-json "$results/micro.json" "$@"
fi

if [ $browsers = 1 ]; then
    # The npm tools first: there is no network inside scripts/hermetic.sh.
    "$root/tests/browser/install-deps.sh"
    echo "bench: in the browsers, the host..." >&2
    VORN_BENCH_RESULTS="$results/browser-host.json" \
        "$root/scripts/hermetic.sh" "$root/tests/browser/run.sh" --bench "$build" >&2
    set -- --browser-results "$results/browser-host.json" "$@"
    if [ -n "$reference" ]; then
        echo "bench: in the browsers, the reference host..." >&2
        VORN_BENCH_HOST="$tree/out/vorn-scard-bridge" VORN_BENCH_RESULTS="$results/browser-reference.json" \
            "$root/scripts/hermetic.sh" "$root/tests/browser/run.sh" --bench "$build" >&2
        set -- --reference-browser-results "$results/browser-reference.json" "$@"
    fi
fi

label=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
if ! git -C "$root" diff --quiet HEAD -- src 2>/dev/null; then
    label="$label+changes"
fi
"$root/scripts/hermetic.sh" sh -c '
    root=$1; shift
    "$root/scripts/ensure-pcscd.sh"
    exec "$@"' sh "$root" \
    "$build/bench/vorn-scard-bridge-bench" \
    --host "$build/vorn-scard-bridge" --echo "$build/bench/vorn-bench-echo" \
    --work-dir "$results/work" --json "$results/bench.json" --label "$label" "$@"
echo "bench: figures written to $results/bench.json" >&2
