#include "measurements.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "fixtures/virtual_card.h"
#include "frame_client.h"
#include "scard/pcsc_service.h"

namespace Vorn_SCard_Bridge::bench {

namespace {

using testbed::Bytes;

constexpr std::size_t PIPELINED_WARMUP = 2000;
constexpr std::size_t TRANSMIT_WARMUP = 200;
constexpr std::size_t LARGEST_REQUEST = 1048576;
constexpr std::uint32_t STATE_PRESENT = 0x20;
constexpr std::uint32_t SHARE_SHARED = 2;
constexpr std::uint32_t PROTOCOL_T0_OR_T1 = 3;
constexpr std::uint32_t LEAVE_CARD = 0;
// The transmit response buffer the host sizes for one APDU; the direct call gets the same.
constexpr std::uint32_t RESPONSE_BUFFER = 0x10000;
const char* const SELECT_APDU = "00A4040007A0000002471001";
// The browser bench's figures (tests/browser/bench.mjs): the names it gives the
// hosts in its manifests.
const std::string BROWSER_HOST = "com.vorn.scard_bridge";
const std::string BROWSER_ECHO = "com.vorn.bench_echo";
const std::string BROWSER_PREFIX = "browser/";

SpawnOptions host_options(const BenchConfig& config) {
    return {config.host, config.home, config.host_stderr};
}

SpawnOptions echo_options(const BenchConfig& config) { return {config.echo, config.home, {}}; }

SpawnOptions reference_options(const BenchConfig& config) {
    return {config.reference_host, config.home, config.reference_stderr};
}

// A process the client drives: the host, the echo, or the reference host.
struct Side {
    Side(std::string name_, const SpawnOptions& options)
        : name(std::move(name_)), process(options), client(process.client()) {}
    std::string name;
    ChildProcess process;
    FrameClient client;
};

std::vector<std::unique_ptr<Side>> start_sides(const BenchConfig& config) {
    std::vector<std::unique_ptr<Side>> sides;
    sides.push_back(std::make_unique<Side>("host", host_options(config)));
    sides.push_back(std::make_unique<Side>("echo", echo_options(config)));
    if (!config.reference_host.empty()) {
        sides.push_back(std::make_unique<Side>("reference", reference_options(config)));
    }
    return sides;
}

// The sides in every order by turns, so that each side follows each other side as
// often: what one process still does after its answer (its log writers, say)
// falls on whichever side comes next, and a fixed rotation would always give it
// to the same one.
std::vector<Side*> in_turn(const std::vector<std::unique_ptr<Side>>& sides, std::size_t turn) {
    std::vector<std::size_t> order(sides.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::size_t orders = 1;
    for (std::size_t k = 2; k <= order.size(); ++k) orders *= k;
    for (std::size_t k = 0; k < turn % orders; ++k)
        std::next_permutation(order.begin(), order.end());
    std::vector<Side*> taking_turns;
    for (const std::size_t k : order) taking_turns.push_back(sides[k].get());
    return taking_turns;
}

// Per side (or way): one value per round.
using PerSide = std::map<std::string, std::vector<double>>;

// The host against its yardstick and, when there is a reference host, the host
// against the reference.
void add_figures(Report& report, const std::string& key, const std::string& label,
                 const std::string& unit, PerSide& values, const std::string& yardstick = "echo") {
    Figure figure(key, label, unit);
    figure.subject = values["host"];
    if (!yardstick.empty()) {
        figure.baseline_name = yardstick;
        figure.baseline = values[yardstick];
    }
    report.add(std::move(figure));
    if (values.count("reference") != 0) {
        std::string plain = label;
        plain.erase(0, plain.find_first_not_of(' '));
        Figure versus(key + "/vs_reference", "  A/B: " + plain, unit);
        versus.subject = values["host"];
        versus.baseline_name = "ref";
        versus.baseline = values["reference"];
        report.add(std::move(versus));
    }
}

std::uintmax_t size_of_file(const std::filesystem::path& path) {
    std::error_code ignored;
    const auto size = std::filesystem::file_size(path, ignored);
    return ignored ? 0 : size;
}

std::uint64_t newlines_between(const std::filesystem::path& path, std::uintmax_t from,
                               std::uintmax_t to) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    std::vector<char> chunk(1 << 20);
    std::uint64_t lines = 0;
    std::uintmax_t left = to - from;
    while (left > 0 && in) {
        const auto want =
            static_cast<std::streamsize>(std::min<std::uintmax_t>(left, chunk.size()));
        in.read(chunk.data(), want);
        const auto got = in.gcount();
        for (std::streamsize i = 0; i < got; ++i)
            lines += chunk[static_cast<std::size_t>(i)] == '\n';
        left -= static_cast<std::uintmax_t>(got);
        if (got == 0) break;
    }
    return lines;
}

std::string request_text(std::uint64_t id, const std::string& command,
                         const nlohmann::json& params) {
    return "{\"requestId\":\"" + std::to_string(id) + "\",\"command\":\"" + command +
           "\",\"params\":" + params.dump() + "}";
}

// A healthcheck of exactly the largest size a request may have: the padding
// rides in "params", which healthcheck does not read.
std::string largest_request(std::uint64_t id) {
    const std::string head =
        "{\"requestId\":\"" + std::to_string(id) + "\",\"command\":\"healthcheck\",\"params\":[\"";
    const std::string tail = "\"]}";
    return head + std::string(LARGEST_REQUEST - head.size() - tail.size(), 'x') + tail;
}

double megabytes(std::uint64_t kib) { return static_cast<double>(kib) / 1024.0; }

void check_response_id(const std::string& response, std::uint64_t id) {
    if (request_id_of(response) != id)
        throw std::runtime_error("response to another request: " + response);
}

bool wait_for_card(const std::string& reader, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    pcsc::Handle context = 0;
    while (pcsc::establish_context(pcsc::SCOPE_USER, context) != pcsc::SUCCESS) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    bool present = false;
    while (!present && Clock::now() < deadline) {
        pcsc::ReaderState state;
        state.reader_name = reader.c_str();
        if (pcsc::get_status_change(context, 0, &state, 1) == pcsc::SUCCESS &&
            (state.event_state & STATE_PRESENT) != 0) {
            present = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    pcsc::release_context(context);
    return present;
}

pcsc::ProtocolRecord record_for(std::uint32_t protocol) {
    if (protocol == 1) return pcsc::ProtocolRecord::T0;
    if (protocol == 4) return pcsc::ProtocolRecord::RAW;
    return pcsc::ProtocolRecord::T1;
}

// A context and a shared connection of our own to the card, made and used with
// the same adapter the host calls.
class DirectCard {
public:
    explicit DirectCard(const std::string& reader) : response_(RESPONSE_BUFFER) {
        if (pcsc::establish_context(pcsc::SCOPE_USER, context_) != pcsc::SUCCESS) {
            throw std::runtime_error("direct: establish_context failed");
        }
        const std::int32_t status = pcsc::connect(context_, reader.c_str(), SHARE_SHARED,
                                                  PROTOCOL_T0_OR_T1, card_, protocol_);
        if (status != pcsc::SUCCESS) {
            pcsc::release_context(context_);
            throw std::runtime_error("direct: connect failed");
        }
    }
    ~DirectCard() {
        pcsc::disconnect(card_, LEAVE_CARD);
        pcsc::release_context(context_);
    }
    DirectCard(const DirectCard&) = delete;
    DirectCard& operator=(const DirectCard&) = delete;

    // The response length of one APDU.
    std::uint32_t transmit(const Bytes& command) {
        std::uint32_t length = RESPONSE_BUFFER;
        const std::int32_t status =
            pcsc::transmit(card_, record_for(protocol_), command.data(),
                           static_cast<std::uint32_t>(command.size()), response_.data(), length);
        if (status != pcsc::SUCCESS) throw std::runtime_error("direct: transmit failed");
        return length;
    }

private:
    pcsc::Handle context_ = 0;
    pcsc::Handle card_ = 0;
    std::uint32_t protocol_ = 0;
    std::vector<std::uint8_t> response_;
};

// The virtual card in its reader, answering the SELECT with 9000, seen by pcscd;
// null when it does not show. Inserted once and left in for the driver's life:
// a card taken out and put back in the same reader right away can answer the
// next connection's first APDU with an error.
testbed::VirtualCard* inserted_card(const char* part) {
    static std::unique_ptr<testbed::VirtualCard> card;
    if (card) return card.get();
    auto inserted = std::make_unique<testbed::VirtualCard>(testbed::VPCD_PORT_0);
    inserted->respond(testbed::hex(SELECT_APDU), testbed::hex("9000"));
    if (inserted->insert(std::chrono::seconds(10)) &&
        wait_for_card(inserted->reader_name(), std::chrono::seconds(15))) {
        card = std::move(inserted);
        return card.get();
    }
    std::cerr << part << ": the virtual card did not show in " << inserted->reader_name()
              << " (is pcscd with vpcd running?)\n";
    return nullptr;
}

// Calls per system call name in the summary `strace -c` writes: the calls are the
// fourth column, the name the last ("errors" may be empty).
std::map<std::string, double> read_strace_summary(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("no strace summary in " + path.string());
    std::map<std::string, double> calls;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        if (words.size() < 5 || words[0] == "%" || words.back() == "total") continue;
        if (words[0].find_first_not_of("0123456789.") != std::string::npos) continue;
        calls[words.back()] += std::stod(words[3]);
    }
    return calls;
}

// One run of `program` under `strace -f -c`, all threads counted from the start to
// the exit at the end of input: `setup` (context, connection) then `requests`
// requests one at a time. The counts of the whole run; the driver takes the
// difference of two runs to get what the requests alone made.
std::map<std::string, double> traced_run(
    const BenchConfig& config, const std::string& name, const SpawnOptions& options,
    std::size_t requests, const std::function<std::string(FrameClient&)>& setup,
    const std::function<std::string(std::uint64_t, const std::string&)>& text) {
    const std::filesystem::path summary = config.work_dir / ("strace-" + name + ".txt");
    const std::filesystem::path wrapper = config.work_dir / ("strace-" + name + ".sh");
    {
        std::ofstream script(wrapper);
        script << "#!/bin/sh\nexec strace -f -c -o '" << summary.string() << "' -- '"
               << options.program.string() << "'\n";
    }
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    std::filesystem::remove(summary);
    {
        SpawnOptions traced = options;
        traced.program = wrapper;
        ChildProcess process(traced);
        FrameClient client(process.client());
        const std::string state = setup(client);
        for (std::uint64_t id = 1; id <= requests; ++id) {
            check_response_id(client.round_trip(text(id, state)), id);
        }
        process.close_input();
        process.wait();
    }
    return read_strace_summary(summary);
}

// The same requests on a process that runs at full speed, counted by
// `perf stat` on the kernel's system-call tracepoints, attached for the requests
// only: strace stops every thread at every call, which spreads the requests far
// apart in time and so shows as many log writer wake-ups as requests, where a
// host at speed gathers the lines of many requests into one.
std::map<std::string, double> counted_run(
    const BenchConfig& config, const std::string& name, const SpawnOptions& options,
    std::size_t requests, const std::function<std::string(FrameClient&)>& setup,
    const std::function<std::string(std::uint64_t, const std::string&)>& text) {
    ChildProcess process(options);
    FrameClient client(process.client());
    const std::string state = setup(client);
    std::uint64_t id = 0;
    for (; id < TRANSMIT_WARMUP; ++id) check_response_id(client.round_trip(text(id, state)), id);

    const std::filesystem::path counts = config.work_dir / ("perf-" + name + ".csv");
    const std::filesystem::path wrapper = config.work_dir / ("perf-" + name + ".sh");
    {
        std::ofstream script(wrapper);
        script << "#!/bin/sh\nexec perf stat -x, -o '" << counts.string()
               << "' -e syscalls:sys_enter_futex -e syscalls:sys_enter_poll"
                  " -e syscalls:sys_enter_ppoll -p "
               << process.pid() << "\n";
    }
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    std::filesystem::remove(counts);
    ChildProcess perf({wrapper, config.home, {}});
    // perf attaches to every thread before it counts; an idle host makes no calls
    // meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (std::size_t i = 0; i < requests; ++i, ++id) {
        check_response_id(client.round_trip(text(id, state)), id);
    }
    ::kill(perf.pid(), SIGINT);
    perf.wait();

    // Lines "<count>,<unit>,<event>,...".
    std::map<std::string, double> calls;
    std::ifstream in(counts);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::istringstream row(line);
        for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
        if (fields.size() < 3 || fields[0].empty() ||
            !std::isdigit(static_cast<unsigned char>(fields[0][0])))
            continue;
        const std::string event = fields[2].substr(fields[2].find("sys_enter_") + 10);
        calls[event] = std::stod(fields[0]);
    }
    if (calls.empty()) throw std::runtime_error("no perf counts in " + counts.string());
    return calls;
}

}  // namespace

void measure_healthcheck(const BenchConfig& config, Report& report) {
    PerSide throughput;
    PerSide p50;
    PerSide p99;
    PerSide cpu;
    PerSide switches;
    PerSide wakeups;
    PerSide calls;
    PerSide rtt_wakeups;
    PerSide rtt_calls;
    PerSide peak;
    PerSide threads;
    PerSide rtt50;
    PerSide rtt99;
    const std::uintmax_t stderr_before = size_of_file(config.host_stderr);
    const std::size_t count = config.pipelined_requests;
    const auto n = static_cast<double>(count);
    std::uint64_t id = 1000000;
    // New processes every round: where the kernel happens to place a process's
    // threads stays with it for its life and would otherwise pass for a
    // difference between the sides.
    for (int round = 0; round < config.rounds; ++round) {
        std::vector<std::unique_ptr<Side>> sides = start_sides(config);
        for (auto& side : sides)
            side->client.run_pipelined(healthcheck_request, PIPELINED_WARMUP, config.window);

        for (Side* side : in_turn(sides, static_cast<std::size_t>(round))) {
            const ProcessSample before = sample_process(side->process.pid());
            const PipelinedRun run =
                side->client.run_pipelined(healthcheck_request, count, config.window);
            const ProcessSample after = sample_process(side->process.pid());
            throughput[side->name].push_back(n / run.seconds);
            p50[side->name].push_back(percentile(run.latencies_us, 50));
            p99[side->name].push_back(percentile(run.latencies_us, 99));
            cpu[side->name].push_back(static_cast<double>(after.cpu_ns - before.cpu_ns) / 1000.0 /
                                      n);
            switches[side->name].push_back(
                static_cast<double>(after.context_switches - before.context_switches) / n);
            wakeups[side->name].push_back(static_cast<double>(after.wakeups - before.wakeups) / n);
            calls[side->name].push_back(
                static_cast<double>(after.read_write_calls - before.read_write_calls) / n);
        }
        for (auto& side : sides) {
            const ProcessSample sample = sample_process(side->process.pid());
            peak[side->name].push_back(megabytes(sample.peak_rss_kib));
            threads[side->name].push_back(static_cast<double>(sample.threads));
        }

        // One request at a time, the sides taking turns request by request.
        std::map<std::string, std::vector<double>> samples;
        std::map<std::string, ProcessSample> before;
        for (auto& side : sides) before[side->name] = sample_process(side->process.pid());
        for (std::size_t i = 0; i < config.round_trips; ++i) {
            for (Side* side : in_turn(sides, i)) {
                const std::string text = healthcheck_request(++id);
                const Clock::time_point start = Clock::now();
                const std::string response = side->client.round_trip(text);
                samples[side->name].push_back(microseconds_between(start, Clock::now()));
                check_response_id(response, id);
            }
        }
        const auto trips = static_cast<double>(config.round_trips);
        for (auto& side : sides) {
            const ProcessSample after = sample_process(side->process.pid());
            const ProcessSample& start = before[side->name];
            rtt_wakeups[side->name].push_back(static_cast<double>(after.wakeups - start.wakeups) /
                                              trips);
            rtt_calls[side->name].push_back(
                static_cast<double>(after.read_write_calls - start.read_write_calls) / trips);
        }
        for (const auto& [name, values] : samples) {
            rtt50[name].push_back(percentile(values, 50));
            rtt99[name].push_back(percentile(values, 99));
        }
    }
    const std::uintmax_t stderr_after = size_of_file(config.host_stderr);
    const double host_requests =
        (n + PIPELINED_WARMUP + static_cast<double>(config.round_trips)) * config.rounds;

    const std::string window = std::to_string(config.window);
    add_figures(report, "healthcheck/pipelined_throughput",
                "healthcheck pipelined throughput (" + window + " in flight)", "req/s", throughput);
    add_figures(report, "healthcheck/pipelined_latency_p50", "  latency p50 in the pipelined run",
                "us", p50);
    add_figures(report, "healthcheck/pipelined_latency_p99", "  latency p99 in the pipelined run",
                "us", p99);
    add_figures(report, "healthcheck/cpu_per_request", "  CPU time per request (all threads)", "us",
                cpu);
    add_figures(report, "healthcheck/context_switches_per_request",
                "  context switches per request", "count", switches);
    add_figures(report, "healthcheck/wakeups_per_request",
                "  wake-ups per request (voluntary switches)", "count", wakeups);
    add_figures(report, "healthcheck/read_write_calls_per_request",
                "  read/write system calls per request", "count", calls);

    Figure log_lines("healthcheck/log_lines_per_request", "  host log lines per request (stderr)",
                     "lines");
    log_lines.subject.push_back(
        static_cast<double>(newlines_between(config.host_stderr, stderr_before, stderr_after)) /
        host_requests);
    report.add(std::move(log_lines));
    Figure log_bytes("healthcheck/log_bytes_per_request", "  host log bytes per request (stderr)",
                     "bytes");
    log_bytes.subject.push_back(static_cast<double>(stderr_after - stderr_before) / host_requests);
    report.add(std::move(log_bytes));

    add_figures(report, "healthcheck/peak_rss", "peak RSS after the throughput run", "MiB", peak);
    add_figures(report, "healthcheck/threads", "  threads after the throughput run", "count",
                threads);
    add_figures(report, "healthcheck/round_trip_p50", "healthcheck round trip p50 (one at a time)",
                "us", rtt50);
    add_figures(report, "healthcheck/round_trip_p99", "healthcheck round trip p99", "us", rtt99);
    add_figures(report, "healthcheck/round_trip_wakeups", "  wake-ups per round trip", "count",
                rtt_wakeups);
    add_figures(report, "healthcheck/round_trip_read_write_calls",
                "  read/write system calls per round trip", "count", rtt_calls);
}

bool measure_transmit(const BenchConfig& config, Report& report) {
    testbed::VirtualCard* const inserted = inserted_card("transmit");
    if (inserted == nullptr) return false;
    testbed::VirtualCard& card = *inserted;
    const Bytes select = testbed::hex(SELECT_APDU);

    DirectCard direct(card.reader_name());
    if (direct.transmit(select) != 2) throw std::runtime_error("unexpected direct transmit answer");
    std::uint64_t id = 1;
    auto call = [&](Side& side, const std::string& command, const nlohmann::json& params) {
        const nlohmann::json response =
            nlohmann::json::parse(side.client.round_trip(request_text(++id, command, params)));
        if (response.value("status", "") != "success") {
            throw std::runtime_error(command + " through " + side.name +
                                     " failed: " + response.dump());
        }
        return response.at("result");
    };

    PerSide t50;
    PerSide t99;
    PerSide added;
    PerSide added_in_echo;
    PerSide wakeups;
    PerSide calls;
    for (int round = 0; round < config.rounds; ++round) {
        // New processes every round, as for healthcheck; each host gets its own
        // context and shared connection.
        std::vector<std::unique_ptr<Side>> sides = start_sides(config);
        std::map<std::string, nlohmann::json> transmit_params;
        for (auto& side : sides) {
            if (side->name == "echo") continue;
            const nlohmann::json established =
                call(*side, "establish_context", nlohmann::json::array());
            const std::string context = established.at(1);
            const nlohmann::json connected = call(
                *side, "connect", {context, card.reader_name(), SHARE_SHARED, PROTOCOL_T0_OR_T1});
            const std::string card_handle = connected.at(2);
            const std::uint32_t protocol =
                std::stoul(connected.at(3).get<std::string>(), nullptr, 16);
            transmit_params[side->name] = {context, card_handle, protocol, SELECT_APDU};
            const nlohmann::json first = call(*side, "transmit", transmit_params[side->name]);
            if (first.back() != "9000")
                throw std::runtime_error("unexpected transmit answer: " + first.dump());
        }

        // Every way takes its turn once per step, starting with a different one each step.
        std::vector<std::string> ways;
        for (auto& side : sides) ways.push_back(side->name);
        ways.push_back("direct");
        std::map<std::string, double> us;
        auto one_step = [&](std::size_t step) {
            for (std::size_t k = 0; k < ways.size(); ++k) {
                const std::string& way = ways[(step + k) % ways.size()];
                const Clock::time_point start = Clock::now();
                if (way == "direct") {
                    direct.transmit(select);
                } else {
                    Side& side = **std::find_if(sides.begin(), sides.end(),
                                                [&](const auto& s) { return s->name == way; });
                    const std::string text =
                        way == "echo" ? healthcheck_request(++id)
                                      : request_text(++id, "transmit", transmit_params[way]);
                    check_response_id(side.client.round_trip(text), id);
                }
                us[way] = microseconds_between(start, Clock::now());
            }
        };
        for (std::size_t i = 0; i < TRANSMIT_WARMUP; ++i) one_step(i);

        std::map<std::string, std::vector<double>> samples;
        std::map<std::string, ProcessSample> before;
        for (auto& side : sides) before[side->name] = sample_process(side->process.pid());
        for (std::size_t i = 0; i < config.transmits; ++i) {
            one_step(i);
            for (const auto& [way, value] : us) samples[way].push_back(value);
        }
        const auto steps = static_cast<double>(config.transmits);
        for (auto& side : sides) {
            const ProcessSample after = sample_process(side->process.pid());
            const ProcessSample& start = before[side->name];
            wakeups[side->name].push_back(static_cast<double>(after.wakeups - start.wakeups) /
                                          steps);
            calls[side->name].push_back(
                static_cast<double>(after.read_write_calls - start.read_write_calls) / steps);
        }
        const double direct50 = percentile(samples["direct"], 50);
        const double echo50 = percentile(samples["echo"], 50);
        for (const auto& [way, values] : samples) {
            t50[way].push_back(percentile(values, 50));
            t99[way].push_back(percentile(values, 99));
            if (way != "direct" && way != "echo") {
                added[way].push_back(percentile(values, 50) - direct50);
                added_in_echo[way].push_back((percentile(values, 50) - direct50) / echo50);
            }
        }
        for (auto& side : sides) {
            if (side->name == "echo") continue;
            const nlohmann::json& params = transmit_params[side->name];
            call(*side, "disconnect", {params[0], params[1], LEAVE_CARD});
            call(*side, "release_context", nlohmann::json::array({params[0]}));
        }
    }

    add_figures(report, "transmit/round_trip_p50", "transmit round trip p50 (host vs direct)", "us",
                t50, "direct");
    add_figures(report, "transmit/round_trip_p99", "transmit round trip p99", "us", t99, "direct");
    Figure echo50("transmit/echo_round_trip_p50", "  echo round trip p50, taking turns with them",
                  "us");
    echo50.subject_name = "echo";
    echo50.subject = t50["echo"];
    report.add(std::move(echo50));
    add_figures(report, "transmit/added_by_host", "  time the host adds (p50 host - p50 direct)",
                "us", added, "");
    add_figures(report, "transmit/added_in_echo_round_trips",
                "  added time in echo round trips (same turns)", "x echo", added_in_echo, "");
    add_figures(report, "transmit/wakeups", "  wake-ups per transmit (echo: per round trip)",
                "count", wakeups);
    add_figures(report, "transmit/read_write_calls",
                "  read/write system calls per transmit (echo: per round trip)", "count", calls);
    return true;
}

bool measure_syscalls(const BenchConfig& config, Report& report) {
    testbed::VirtualCard* const inserted = inserted_card("syscalls");
    if (inserted == nullptr) return false;
    testbed::VirtualCard& card = *inserted;
    std::vector<std::pair<std::string, SpawnOptions>> programs = {{"host", host_options(config)},
                                                                  {"echo", echo_options(config)}};
    if (!config.reference_host.empty())
        programs.emplace_back("reference", reference_options(config));

    using Setup = std::function<std::string(FrameClient&)>;
    using Text = std::function<std::string(std::uint64_t, const std::string&)>;
    const Setup nothing = [](FrameClient&) { return std::string(); };
    // A context and a shared connection, as the transmit part makes them; the
    // transmit's parameters are what the requests need.
    const Setup connect = [&](FrameClient& client) {
        std::uint64_t id = 1000000;
        auto call = [&](const std::string& command, const nlohmann::json& params) {
            const nlohmann::json response =
                nlohmann::json::parse(client.round_trip(request_text(++id, command, params)));
            if (response.value("status", "") != "success")
                throw std::runtime_error(command + " failed: " + response.dump());
            return response.at("result");
        };
        const std::string context = call("establish_context", nlohmann::json::array()).at(1);
        const nlohmann::json connected =
            call("connect", {context, card.reader_name(), SHARE_SHARED, PROTOCOL_T0_OR_T1});
        const nlohmann::json params = {context, connected.at(2),
                                       std::stoul(connected.at(3).get<std::string>(), nullptr, 16),
                                       SELECT_APDU};
        call("transmit", params);
        return params.dump();
    };
    const Text healthcheck = [](std::uint64_t id, const std::string&) {
        return healthcheck_request(id);
    };
    const Text transmit = [](std::uint64_t id, const std::string& params) {
        return request_text(id, "transmit", nlohmann::json::parse(params));
    };
    auto poll_calls = [](std::map<std::string, double>& calls) {
        return calls["poll"] + calls["ppoll"] + calls["select"] + calls["pselect6"] +
               calls["epoll_wait"] + calls["epoll_pwait"];
    };
    auto all_calls = [](const std::map<std::string, double>& calls) {
        double sum = 0;
        for (const auto& entry : calls) sum += entry.second;
        return sum;
    };

    const std::size_t n = config.syscall_requests;
    PerSide hc_futex, hc_poll, hc_all, tx_futex, tx_poll, tx_all, hc_fast, tx_fast;
    for (int round = 0; round < config.rounds; ++round) {
        for (std::size_t k = 0; k < programs.size(); ++k) {
            const auto& [name, options] =
                programs[(static_cast<std::size_t>(round) + k) % programs.size()];
            const bool echo = name == "echo";
            // Each kind twice: without requests and with n; the difference is theirs.
            auto per_request = [&](const Setup& setup, const Text& text, PerSide& futex,
                                   PerSide& poll, PerSide& all) {
                auto base = traced_run(config, name, options, 0, setup, text);
                auto with = traced_run(config, name, options, n, setup, text);
                const auto count = static_cast<double>(n);
                futex[name].push_back((with["futex"] - base["futex"]) / count);
                poll[name].push_back((poll_calls(with) - poll_calls(base)) / count);
                all[name].push_back((all_calls(with) - all_calls(base)) / count);
            };
            per_request(nothing, healthcheck, hc_futex, hc_poll, hc_all);
            // The echo answers the transmit's text as it is: its figure is a round trip's.
            per_request(echo ? nothing : connect, echo ? healthcheck : transmit, tx_futex, tx_poll,
                        tx_all);
            if (config.perf_counts) {
                const std::size_t many = n * 10;
                hc_fast[name].push_back(
                    counted_run(config, name, options, many, nothing, healthcheck)["futex"] /
                    static_cast<double>(many));
                tx_fast[name].push_back(counted_run(config, name, options, many,
                                                    echo ? nothing : connect,
                                                    echo ? healthcheck : transmit)["futex"] /
                                        static_cast<double>(many));
            }
        }
    }
    const std::string each = " (strace -f, one at a time)";
    add_figures(report, "syscalls/healthcheck_futex", "futex calls per healthcheck" + each, "count",
                hc_futex);
    add_figures(report, "syscalls/healthcheck_poll", "  poll calls per healthcheck", "count",
                hc_poll);
    add_figures(report, "syscalls/healthcheck_all", "  system calls per healthcheck", "count",
                hc_all);
    add_figures(report, "syscalls/transmit_futex",
                "futex calls per transmit (echo: per round trip)", "count", tx_futex);
    add_figures(report, "syscalls/transmit_poll", "  poll calls per transmit", "count", tx_poll);
    add_figures(report, "syscalls/transmit_all", "  system calls per transmit", "count", tx_all);
    if (config.perf_counts) {
        add_figures(report, "syscalls/healthcheck_futex_at_speed",
                    "futex calls per healthcheck (perf, untraced)", "count", hc_fast);
        add_figures(report, "syscalls/transmit_futex_at_speed",
                    "futex calls per transmit (perf, untraced)", "count", tx_fast);
    }
    return true;
}

void measure_cold_start(const BenchConfig& config, Report& report) {
    struct Start {
        double first_ms = 0;
        double exit_ms = 0;
        double cpu_ms = 0;
    };
    auto one_start = [](const SpawnOptions& options) {
        struct rusage before {};
        ::getrusage(RUSAGE_CHILDREN, &before);
        const Clock::time_point start = Clock::now();
        ChildProcess process(options);
        FrameClient client(process.client());
        client.send(healthcheck_request(1));
        client.receive(std::chrono::seconds(10));
        const Clock::time_point answered = Clock::now();
        process.close_input();
        process.wait();
        const Clock::time_point ended = Clock::now();
        struct rusage after {};
        ::getrusage(RUSAGE_CHILDREN, &after);
        auto seconds = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
        };
        Start result;
        result.first_ms = microseconds_between(start, answered) / 1000.0;
        result.exit_ms = microseconds_between(start, ended) / 1000.0;
        result.cpu_ms = (seconds(after.ru_utime) - seconds(before.ru_utime) +
                         seconds(after.ru_stime) - seconds(before.ru_stime)) *
                        1000.0;
        return result;
    };

    std::vector<std::pair<std::string, SpawnOptions>> programs = {{"host", host_options(config)},
                                                                  {"echo", echo_options(config)}};
    if (!config.reference_host.empty())
        programs.emplace_back("reference", reference_options(config));
    for (const auto& program : programs) one_start(program.second);

    PerSide first50;
    PerSide first90;
    PerSide exit50;
    PerSide exit90;
    PerSide cpu;
    for (int round = 0; round < config.rounds; ++round) {
        std::map<std::string, std::vector<Start>> starts;
        for (std::size_t i = 0; i < config.cold_starts; ++i) {
            for (std::size_t k = 0; k < programs.size(); ++k) {
                const auto& program = programs[(i + k) % programs.size()];
                starts[program.first].push_back(one_start(program.second));
            }
        }
        for (const auto& [name, list] : starts) {
            std::vector<double> firsts;
            std::vector<double> exits;
            std::vector<double> cpus;
            for (const Start& start : list) {
                firsts.push_back(start.first_ms);
                exits.push_back(start.exit_ms);
                cpus.push_back(start.cpu_ms);
            }
            first50[name].push_back(percentile(firsts, 50));
            first90[name].push_back(percentile(firsts, 90));
            exit50[name].push_back(percentile(exits, 50));
            exit90[name].push_back(percentile(exits, 90));
            cpu[name].push_back(median(cpus));
        }
    }
    add_figures(report, "cold_start/first_response_p50",
                "cold start: spawn -> first response, median", "ms", first50);
    add_figures(report, "cold_start/first_response_p90", "cold start: spawn -> first response, p90",
                "ms", first90);
    add_figures(report, "cold_start/exit_p50", "cold start: spawn -> exit at end of input, median",
                "ms", exit50);
    add_figures(report, "cold_start/exit_p90", "cold start: spawn -> exit at end of input, p90",
                "ms", exit90);
    add_figures(report, "cold_start/cpu_per_start", "  CPU time of one start (user+sys, median)",
                "ms", cpu);
}

void measure_flood(const BenchConfig& config, Report& report) {
    std::vector<std::pair<std::string, SpawnOptions>> programs = {{"host", host_options(config)},
                                                                  {"echo", echo_options(config)}};
    if (!config.reference_host.empty())
        programs.emplace_back("reference", reference_options(config));
    PerSide peak;
    PerSide rate;
    for (int round = 0; round < config.rounds; ++round) {
        for (std::size_t k = 0; k < programs.size(); ++k) {
            const auto& [name, options] =
                programs[(static_cast<std::size_t>(round) + k) % programs.size()];
            ChildProcess process(options);
            FrameClient client(process.client());
            const PipelinedRun run =
                client.run_pipelined(largest_request, config.flood_requests, config.flood_requests);
            const ProcessSample sample = sample_process(process.pid());
            peak[name].push_back(megabytes(sample.peak_rss_kib));
            rate[name].push_back(static_cast<double>(config.flood_requests) / run.seconds);
        }
    }
    add_figures(
        report, "flood/peak_rss",
        "peak RSS, " + std::to_string(config.flood_requests) + " requests of 1 MiB all in flight",
        "MiB", peak);
    add_figures(report, "flood/throughput", "  1 MiB request rate in the flood", "MiB/s", rate);
}

void measure_idle(const BenchConfig& config, Report& report) {
    std::vector<std::unique_ptr<Side>> sides = start_sides(config);
    for (auto& side : sides) check_response_id(side->client.round_trip(healthcheck_request(7)), 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    PerSide cpu;
    PerSide wakeups;
    PerSide rss;
    PerSide threads;
    for (int round = 0; round < config.idle_rounds; ++round) {
        std::map<std::string, ProcessSample> before;
        for (auto& side : sides) before[side->name] = sample_process(side->process.pid());
        std::this_thread::sleep_for(std::chrono::seconds(config.idle_seconds));
        for (auto& side : sides) {
            const ProcessSample after = sample_process(side->process.pid());
            const ProcessSample& start = before[side->name];
            cpu[side->name].push_back(static_cast<double>(after.cpu_ns - start.cpu_ns) / 1e6);
            wakeups[side->name].push_back(
                static_cast<double>(after.context_switches - start.context_switches));
            rss[side->name].push_back(megabytes(after.rss_kib));
            threads[side->name].push_back(static_cast<double>(after.threads));
        }
    }
    const std::string window = std::to_string(config.idle_seconds) + " s";
    add_figures(report, "idle/cpu", "idle: CPU time over " + window + " (all threads)", "ms", cpu);
    add_figures(report, "idle/context_switches", "idle: context switches over " + window, "count",
                wakeups);
    add_figures(report, "idle/rss", "idle: resident memory", "MiB", rss);
    add_figures(report, "idle/threads", "idle: threads", "count", threads);
}

namespace {

std::string text_of(double value, const char* unit) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer,
                  value >= 1000 ? "%.0f%s"
                  : value >= 10 ? "%.1f%s"
                                : "%.2f%s",
                  value, unit);
    return buffer;
}

// One figure for the three sides, one value per round (empty: not measured).
struct Sides {
    std::vector<double> host;
    std::vector<double> reference;
    std::vector<double> echo;
};

Sides sides_of(const Report& report, const std::string& key) {
    Sides sides;
    if (const Figure* figure = report.find(key)) {
        sides.host = figure->subject;
        sides.echo = figure->baseline;
    }
    if (const Figure* versus = report.find(key + "/vs_reference"))
        sides.reference = versus->baseline;
    return sides;
}

// a / b round by round.
std::vector<double> per_round(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (b[i] != 0) ratios.push_back(a[i] / b[i]);
    }
    return ratios;
}

std::string cell(const std::vector<double>& rounds, const char* unit) {
    if (rounds.empty()) return "-";
    const Spread s = spread_of(rounds);
    if (rounds.size() == 1) return text_of(s.median, unit);
    return text_of(s.median, unit) + " [" + text_of(s.min, "") + "-" + text_of(s.max, "") + "]";
}

// The host's median against `goal`, by `at_most` (<=) or at least (>=).
Goal goal_row(std::string key, std::string description, const std::vector<double>& host,
              const std::vector<double>& reference, std::string echo, const char* unit, double goal,
              bool at_most) {
    Goal row{std::move(key),        std::move(description), cell(host, unit),
             cell(reference, unit), std::move(echo),        "not measured"};
    if (!host.empty()) {
        const double value = spread_of(host).median;
        const bool met = at_most ? value <= goal : value >= goal;
        row.verdict =
            met ? "met" : "missed by " + text_of(at_most ? value - goal : goal - value, unit);
    }
    return row;
}

}  // namespace

void add_browser_results(Report& report, const std::filesystem::path& path, bool reference) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    const nlohmann::json results = nlohmann::json::parse(in);
    for (const auto& [browser, run] : results.at("browsers").items()) {
        const std::string key = BROWSER_PREFIX + browser + "/transmit";
        Figure figure(
            reference ? key + "/reference" : key,
            "in-browser transmit mean, " + browser + " " + run.value("version", std::string()),
            "ms");
        figure.subject_name = reference ? "ref" : "host";
        figure.baseline_name = "echo";
        for (const nlohmann::json& round : run.at("rounds")) {
            figure.subject.push_back(round.at("transmit:" + BROWSER_HOST).at("mean").get<double>());
            figure.baseline.push_back(
                round.at("transmit:" + BROWSER_ECHO).at("mean").get<double>());
        }
        report.add(std::move(figure));
    }
}

void judge_goals(Report& report) {
    {
        const Sides added = sides_of(report, "transmit/added_in_echo_round_trips");
        const Figure* echo = report.find("transmit/echo_round_trip_p50");
        report.add_goal(goal_row("transmit_over_direct",
                                 "transmit adds <= 2 echo round trips over the direct call",
                                 added.host, added.reference,
                                 echo ? cell(echo->subject, " us") : "-", " x echo", 2, true));
    }
    for (const char* kind : {"healthcheck", "transmit"}) {
        const Sides traced = sides_of(report, std::string("syscalls/") + kind + "_futex");
        report.add_goal(
            goal_row(std::string("futex_per_") + kind,
                     std::string("<= 2 futex calls per one-at-a-time ") + kind + " (strace -f)",
                     traced.host, traced.reference, cell(traced.echo, ""), "", 2, true));
        const Sides fast = sides_of(report, std::string("syscalls/") + kind + "_futex_at_speed");
        if (fast.host.empty()) continue;
        report.add_goal(goal_row(std::string("futex_at_speed_per_") + kind,
                                 "  the same, counted by perf stat on an untraced host", fast.host,
                                 fast.reference, cell(fast.echo, ""), "", 2, true));
    }
    {
        const Sides rtt = sides_of(report, "healthcheck/round_trip_p50");
        report.add_goal(goal_row("healthcheck_p50", "healthcheck p50 one at a time <= 1.5 x echo",
                                 per_round(rtt.host, rtt.echo), per_round(rtt.reference, rtt.echo),
                                 cell(rtt.echo, " us"), " x", 1.5, true));
    }
    {
        const Sides rate = sides_of(report, "healthcheck/pipelined_throughput");
        report.add_goal(goal_row("pipelined", "healthcheck pipelined >= 300,000 req/s", rate.host,
                                 rate.reference, cell(rate.echo, "/s"), "/s", 300000, false));
    }
    {
        const Sides cold = sides_of(report, "cold_start/first_response_p50");
        report.add_goal(goal_row(
            "cold_start", "cold start to first answer <= 2 x echo", per_round(cold.host, cold.echo),
            per_round(cold.reference, cold.echo), cell(cold.echo, " ms"), " x", 2, true));
    }
    for (const Figure* browser : report.with_prefix(BROWSER_PREFIX)) {
        if (browser->subject_name != "host") continue;
        const Figure* versus = report.find(browser->key + "/reference");
        report.add_goal(
            goal_row(browser->key, browser->label + " <= 1.05 x echo",
                     per_round(browser->subject, browser->baseline),
                     versus ? per_round(versus->subject, versus->baseline) : std::vector<double>{},
                     cell(browser->baseline, " ms"), " x", 1.05, true));
    }
}

}  // namespace Vorn_SCard_Bridge::bench
