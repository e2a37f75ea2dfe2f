// vorn-scard-bridge-bench: what a user of the host feels, measured side by side
// with a yardstick in the same run so that a busy machine moves both:
//   - healthcheck through the host, pipelined and one at a time, against the
//     same client on a framed echo process (the pipe limit of this machine);
//   - transmit through the host against the same APDU sent directly through
//     our PC/SC adapter to the same virtual card, interleaved;
//   - cold start (spawn, first answer, exit at the end of input), against the echo;
//   - peak memory in the throughput run and in a flood of 1 MiB requests;
//   - CPU time and wake-ups of an idle host;
//   - system calls per one-at-a-time request, counted by strace (not timed).
// Prints one table, then the goals of the request path with the host's, the
// reference host's and the echo's figure each, and writes the same as JSON. It
// never judges a run by exit code: the goals are printed, not enforced.
//
// The transmit figures need pcscd with the vpcd readers; scripts/bench.sh runs
// this inside scripts/hermetic.sh with a private pcscd.

#include <signal.h>
#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "measurements.h"
#include "report.h"

using namespace Vorn_SCard_Bridge::bench;

namespace {

const std::set<std::string> ALL_PARTS = {"healthcheck", "transmit", "syscalls",
                                         "cold",        "flood",    "idle"};

void usage(std::ostream& out) {
    out << "usage: vorn-scard-bridge-bench [options]\n"
           "  --host PATH          host binary (default: the one built with this driver)\n"
           "  --echo PATH          framed echo binary\n"
           "  --work-dir DIR       HOME of the hosts and their stderr file (default: a new "
           "temporary dir)\n"
           "  --reference-host PATH  a second host build measured in the same rounds (A/B)\n"
           "  --reference-stderr PATH  its standard error (default: reference-stderr.log in the "
           "work dir)\n"
           "  --host-stderr PATH   standard error of the host (default: host-stderr.log in the "
           "work dir)\n"
           "  --reference-label TEXT  the reference's name in the goals (e.g. its commit)\n"
           "  --browser-results PATH  tests/browser/bench.mjs figures (VORN_BENCH_RESULTS) of "
           "the host\n"
           "  --reference-browser-results PATH  the same, of a run with the reference host\n"
           "  --json PATH          also write the figures as JSON\n"
           "  --micro-json PATH    merge Google Benchmark JSON output into the table\n"
           "  --label TEXT         recorded in the JSON (e.g. the commit)\n"
           "  --only LIST          comma-separated parts: "
           "healthcheck,transmit,syscalls,cold,flood,idle\n"
           "  --rounds N           rounds per figure (default 5)\n"
           "  --requests N         pipelined healthchecks per round and side (default 20000)\n"
           "  --window N           requests in flight in the pipelined run (default 32)\n"
           "  --round-trips N      one-at-a-time healthchecks per round and side (default 2000)\n"
           "  --transmits N        transmits per round and way (default 1000)\n"
           "  --syscall-requests N  one-at-a-time requests per traced run (default 200)\n"
           "  --perf-counts        syscalls: also count futex calls with perf stat, untraced\n"
           "  --cold-starts N      starts per round and program (default 20)\n"
           "  --flood N            1 MiB requests per flood (default 32)\n"
           "  --idle-seconds N     length of one idle window (default 10)\n"
           "  --idle-rounds N      idle windows (default 3)\n"
           "  --quick              small counts, for trying the driver out\n";
}

std::set<std::string> parse_parts(const std::string& list) {
    std::set<std::string> parts;
    std::stringstream in(list);
    std::string part;
    while (std::getline(in, part, ',')) {
        if (ALL_PARTS.count(part) == 0) throw std::invalid_argument("unknown part: " + part);
        parts.insert(part);
    }
    return parts;
}

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    BenchConfig config;
    config.host = VORN_DEFAULT_HOST;
    config.echo = VORN_DEFAULT_ECHO;
    std::filesystem::path work_dir;
    std::filesystem::path json_path;
    std::filesystem::path micro_json;
    std::string label;
    std::string reference_label = "reference";
    std::filesystem::path browser_results;
    std::filesystem::path reference_browser_results;
    std::set<std::string> parts = ALL_PARTS;

    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            auto count = [&]() { return static_cast<std::size_t>(std::stoul(value())); };
            if (arg == "--help" || arg == "-h") {
                usage(std::cout);
                return 0;
            } else if (arg == "--host") {
                config.host = value();
            } else if (arg == "--echo") {
                config.echo = value();
            } else if (arg == "--reference-host") {
                config.reference_host = value();
            } else if (arg == "--reference-stderr") {
                config.reference_stderr = value();
            } else if (arg == "--host-stderr") {
                config.host_stderr = value();
            } else if (arg == "--work-dir") {
                work_dir = value();
            } else if (arg == "--json") {
                json_path = value();
            } else if (arg == "--micro-json") {
                micro_json = value();
            } else if (arg == "--label") {
                label = value();
            } else if (arg == "--reference-label") {
                reference_label = value();
            } else if (arg == "--browser-results") {
                browser_results = value();
            } else if (arg == "--reference-browser-results") {
                reference_browser_results = value();
            } else if (arg == "--perf-counts") {
                config.perf_counts = true;
            } else if (arg == "--syscall-requests") {
                config.syscall_requests = count();
            } else if (arg == "--only") {
                parts = parse_parts(value());
            } else if (arg == "--rounds") {
                config.rounds = static_cast<int>(count());
            } else if (arg == "--requests") {
                config.pipelined_requests = count();
            } else if (arg == "--window") {
                config.window = count();
            } else if (arg == "--round-trips") {
                config.round_trips = count();
            } else if (arg == "--transmits") {
                config.transmits = count();
            } else if (arg == "--cold-starts") {
                config.cold_starts = count();
            } else if (arg == "--flood") {
                config.flood_requests = count();
            } else if (arg == "--idle-seconds") {
                config.idle_seconds = static_cast<int>(count());
            } else if (arg == "--idle-rounds") {
                config.idle_rounds = static_cast<int>(count());
            } else if (arg == "--quick") {
                config.rounds = 3;
                config.pipelined_requests = 3000;
                config.round_trips = 300;
                config.transmits = 200;
                config.cold_starts = 5;
                config.syscall_requests = 50;
                config.flood_requests = 8;
                config.idle_seconds = 2;
                config.idle_rounds = 1;
            } else {
                throw std::invalid_argument("unknown option " + arg);
            }
        }
        if (config.rounds < 1 || config.window < 1 || config.flood_requests < 1 ||
            config.syscall_requests < 1) {
            throw std::invalid_argument("counts must be at least 1");
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        usage(std::cerr);
        return 2;
    }

    try {
        if (work_dir.empty()) {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "vorn-bench.XXXXXX").string();
            if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
            work_dir = pattern;
        }
        std::filesystem::create_directories(work_dir / "home");
        config.home = work_dir / "home";
        config.work_dir = work_dir;
        if (config.host_stderr.empty()) config.host_stderr = work_dir / "host-stderr.log";
        if (!config.reference_host.empty() && config.reference_stderr.empty()) {
            config.reference_stderr = work_dir / "reference-stderr.log";
        }

        Report report;
        utsname system{};
        ::uname(&system);
        report.set_info("date", utc_now());
        report.set_info("label", label);
        report.set_info("cpus", std::thread::hardware_concurrency());
        report.set_info("kernel", std::string(system.release));
        report.set_info("host", config.host.string());
        report.set_info("reference_host", config.reference_host.string());
        report.set_info("reference_label", reference_label);
        report.set_info("work_dir", work_dir.string());
        report.set_info("config", {{"rounds", config.rounds},
                                   {"pipelined_requests", config.pipelined_requests},
                                   {"window", config.window},
                                   {"round_trips", config.round_trips},
                                   {"transmits", config.transmits},
                                   {"cold_starts", config.cold_starts},
                                   {"flood_requests", config.flood_requests},
                                   {"idle_seconds", config.idle_seconds},
                                   {"idle_rounds", config.idle_rounds}});

        auto step = [&](const char* what) { std::cerr << "bench: " << what << "...\n"; };
        if (parts.count("healthcheck")) {
            step("healthcheck, pipelined and one at a time");
            measure_healthcheck(config, report);
        }
        if (parts.count("transmit")) {
            step("transmit, through the host and direct");
            if (!measure_transmit(config, report)) std::cerr << "bench: transmit figures skipped\n";
        }
        if (parts.count("syscalls")) {
            step("system calls per request, under strace");
            if (!measure_syscalls(config, report)) std::cerr << "bench: syscall figures skipped\n";
        }
        if (parts.count("cold")) {
            step("cold starts");
            measure_cold_start(config, report);
        }
        if (parts.count("flood")) {
            step("1 MiB flood");
            measure_flood(config, report);
        }
        if (parts.count("idle")) {
            step("idle host");
            measure_idle(config, report);
        }
        if (!micro_json.empty()) report.add_micro_benchmarks(micro_json);
        if (!browser_results.empty()) add_browser_results(report, browser_results, false);
        if (!reference_browser_results.empty()) {
            add_browser_results(report, reference_browser_results, true);
        }
        judge_goals(report);

        report.print_table(std::cout);
        if (!json_path.empty()) {
            std::ofstream out(json_path);
            out << report.to_json().dump(2) << "\n";
            if (!out) throw std::runtime_error("cannot write " + json_path.string());
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bench failed: " << e.what() << "\n";
        return 1;
    }
}
