#pragma once

// The end-to-end figures of the host, each measured side by side with its
// yardstick in the same run.

#include <cstddef>
#include <filesystem>

#include "report.h"

namespace Vorn_SCard_Bridge::bench {

struct BenchConfig {
    std::filesystem::path host;
    // Where the driver keeps its scratch files (the strace wrappers and summaries).
    std::filesystem::path work_dir;
    std::filesystem::path echo;
    // HOME of every host we start (its log file lands below it), and the file
    // that collects the hosts' standard error.
    std::filesystem::path home;
    std::filesystem::path host_stderr;
    // Optional second host (another build, e.g. main's, or a proposed change),
    // measured in the same rounds as the host: an A/B comparison. Its standard
    // error goes to its own file.
    std::filesystem::path reference_host;
    std::filesystem::path reference_stderr;

    int rounds = 5;
    // Pipelined healthcheck: requests per round and per process, and how many
    // are in flight at once.
    std::size_t pipelined_requests = 20000;
    std::size_t window = 32;
    // One-at-a-time healthcheck round trips per round and per process.
    std::size_t round_trips = 2000;
    // Transmit: host, direct and echo round trips per round (each).
    std::size_t transmits = 1000;
    // One-at-a-time requests per traced run (syscalls), against a run without any.
    std::size_t syscall_requests = 200;
    // Also count futex calls with perf on processes that are not traced (10 times
    // as many requests); needs perf and the kernel's system-call tracepoints.
    bool perf_counts = false;
    // Cold starts per round and per program.
    std::size_t cold_starts = 20;
    // 1 MB requests per round, all in flight at once.
    std::size_t flood_requests = 32;
    // Idle: seconds per window, and windows.
    int idle_seconds = 10;
    int idle_rounds = 3;
};

void measure_healthcheck(const BenchConfig& config, Report& report);
// Needs pcscd with the vpcd readers; false (and nothing reported) when the card
// cannot be seen.
bool measure_transmit(const BenchConfig& config, Report& report);
// System calls per one-at-a-time request, counted by strace -f -c over whole
// runs of each program (not timed: strace slows every call). Needs the card, as
// measure_transmit.
bool measure_syscalls(const BenchConfig& config, Report& report);
void measure_cold_start(const BenchConfig& config, Report& report);
void measure_flood(const BenchConfig& config, Report& report);
void measure_idle(const BenchConfig& config, Report& report);

// The figures of tests/browser/bench.mjs (its VORN_BENCH_RESULTS file): the mean
// of a one-at-a-time transmit through the host and through the echo, per round,
// in each browser. `reference`: the run was made with the reference host.
void add_browser_results(Report& report, const std::filesystem::path& path, bool reference);

// Compares the figures of the host and of the reference with the goals of the
// request path and records the verdicts, one row per goal.
void judge_goals(Report& report);

}  // namespace Vorn_SCard_Bridge::bench
