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
#
# Arguments go to the driver (vorn-scard-bridge-bench --help). Results land in
# $BENCH_RESULTS (default out/bench/results): bench.json, micro.json, the
# micro-benchmarks' own console output, and the hosts' logs under work/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/out/bench}
results=${BENCH_RESULTS:-$build/results}

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || [ ! -x /usr/sbin/pcscd ] ||
    [ ! -f /usr/include/benchmark/benchmark.h ] || [ ! -f /usr/include/spdlog/spdlog.h ]; then
    "$root/scripts/install-deps.sh"
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=ON >/dev/null
ninja -C "$build" vorn-scard-bridge vorn-bench-echo vorn-scard-bridge-bench \
    vorn-scard-bridge-microbench >/dev/null

quick=0
for arg in "$@"; do
    [ "$arg" = --quick ] && quick=1
done
if [ $quick = 1 ]; then
    micro_args="--benchmark_repetitions=3 --benchmark_min_time=0.02"
else
    micro_args="--benchmark_repetitions=5 --benchmark_min_time=0.2"
fi

rm -rf "$results/work" "$results/bench.json" "$results/micro.json" "$results/micro.txt"
mkdir -p "$results/work"
echo "bench: micro-benchmarks..." >&2
# shellcheck disable=SC2086 # micro_args is a list of options
"$build/bench/vorn-scard-bridge-microbench" $micro_args \
    --benchmark_out="$results/micro.json" --benchmark_out_format=json >"$results/micro.txt"

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
    --work-dir "$results/work" --json "$results/bench.json" \
    --micro-json "$results/micro.json" --label "$label" "$@"
echo "bench: figures written to $results/bench.json" >&2
