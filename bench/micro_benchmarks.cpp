// vorn-scard-bridge-microbench: the host's pieces on one thread, no pipes and
// no pcscd: the codecs, the JSON work of one request, one log line, one dispatch
// through process_message (healthcheck, and transmit on the fake PC/SC
// service), the per-context gate of a card call, and the start-up steps of the
// logger.
//
// The logger is set up as the host sets it up (information level; standard
// error, a rotating file and the system log), with standard error sent to a
// file of its own so the lines cost what they cost when the browser keeps the
// host's stderr in a file. Benchmarks named ".../quiet" raise the level to
// errors first: the difference to ".../info" is what normal logging costs.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_pcsc_service.h"
#include "logging/log_escape.h"
#include "logging/logger.h"
#include "messaging/byte_source.h"
#include "messaging/frame_codec.h"
#include "messaging/message_reader.h"
#include "messaging/messaging_queue.h"
#include "processing/process_message.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"

namespace {

using namespace Vorn_SCard_Bridge;

std::filesystem::path work_dir;

const char* const HEALTHCHECK = R"({"requestId":"123","command":"healthcheck","params":[]})";
const char* const TRANSMIT =
    R"({"requestId":"124","command":"transmit","params":["0x0A0B0C0D","0x11223344",2,"00A4040007A0000002471001"]})";
const char* const HEALTHCHECK_RESPONSE =
    R"({"requestId":"123","result":["OK"],"status":"success"})";

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

// Runs the benchmark body at information level (normal logging) or with every
// information line dropped.
class LogLevelScope {
public:
    explicit LogLevelScope(bool info) {
        logger().set_log_level(info ? LogLevel::INFO : LogLevel::ERROR);
    }
    ~LogLevelScope() { logger().set_log_level(LogLevel::INFO); }
};

std::size_t drain_send_queue() { return MessagingQueue::instance().wait_and_pop_all().size(); }

// ---- codecs ----

void BM_to_hex(benchmark::State& state) {
    std::int32_t value = 0x1A2B3C4D;
    for (auto _ : state) {
        benchmark::DoNotOptimize(to_hex(value));
        ++value;
    }
}
BENCHMARK(BM_to_hex);

void BM_from_hex(benchmark::State& state) {
    const std::string text = "0x1A2B3C4D";
    for (auto _ : state) benchmark::DoNotOptimize(from_hex(text));
}
BENCHMARK(BM_from_hex);

void BM_to_hex_string(benchmark::State& state) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (auto _ : state) benchmark::DoNotOptimize(to_hex_string(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_to_hex_string)->Arg(2)->Arg(258)->Arg(4096);

void BM_from_hex_string(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)), 0xA5);
    const std::string text = to_hex_string(bytes);
    for (auto _ : state) benchmark::DoNotOptimize(from_hex_string(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_from_hex_string)->Arg(12)->Arg(261)->Arg(4096);

void BM_multi_string_to_comma_string(benchmark::State& state) {
    const char list[] = "Virtual PCD 00 00\0Virtual PCD 00 01\0Vendor Reader [CCID] 01 00\0";
    for (auto _ : state) benchmark::DoNotOptimize(multi_string_to_comma_string(list, sizeof list));
}
BENCHMARK(BM_multi_string_to_comma_string);

// ---- the JSON work of one request ----

void BM_parse_request_healthcheck(benchmark::State& state) {
    const std::string text = HEALTHCHECK;
    for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text));
}
BENCHMARK(BM_parse_request_healthcheck);

void BM_parse_request_transmit(benchmark::State& state) {
    const std::string text = TRANSMIT;
    for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text));
}
BENCHMARK(BM_parse_request_transmit);

// The largest request a frame may carry (1 MiB, nearly all of it one string).
std::string largest_request_text() {
    const std::string head = R"({"requestId":"1","command":"healthcheck","params":[")";
    const std::string tail = R"("]})";
    return head + std::string(MAX_MESSAGE_SIZE - head.size() - tail.size(), 'x') + tail;
}

void BM_parse_request_largest(benchmark::State& state) {
    const std::string text = largest_request_text();
    for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * MAX_MESSAGE_SIZE);
}
BENCHMARK(BM_parse_request_largest)->Unit(benchmark::kMicrosecond);

// The nesting check the reader runs over every request before parsing it.
void BM_nesting_check_largest(benchmark::State& state) {
    const std::string text = largest_request_text();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    for (auto _ : state)
        benchmark::DoNotOptimize(json_nesting_exceeds(bytes, text.size(), MAX_JSON_DEPTH));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * MAX_MESSAGE_SIZE);
}
BENCHMARK(BM_nesting_check_largest)->Unit(benchmark::kMicrosecond);

void BM_dump_response_healthcheck(benchmark::State& state) {
    const nlohmann::json response = nlohmann::json::parse(HEALTHCHECK_RESPONSE);
    for (auto _ : state) benchmark::DoNotOptimize(response.dump());
}
BENCHMARK(BM_dump_response_healthcheck);

// What each copy of a request costs (small, and the largest allowed).
void BM_copy_request(benchmark::State& state) {
    const std::size_t padding = static_cast<std::size_t>(state.range(0));
    nlohmann::json request = nlohmann::json::parse(HEALTHCHECK);
    if (padding > 0) request["params"] = {std::string(padding, 'x')};
    for (auto _ : state) {
        nlohmann::json copy = request;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_copy_request)->Arg(0)->Arg(1048500);

// The transmit operation sizes a zeroed 64 KiB response buffer per call.
void BM_zeroed_response_buffer_64k(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::uint8_t> response(0x10000);
        benchmark::DoNotOptimize(response.data());
    }
}
BENCHMARK(BM_zeroed_response_buffer_64k);

// ---- logging ----

void BM_format_context_prefix(benchmark::State& state) {
    const LogContext context("MessageProcessor", "healthcheck", "123");
    for (auto _ : state) benchmark::DoNotOptimize(Logger::format_context_prefix(context));
}
BENCHMARK(BM_format_context_prefix);

void BM_needs_log_escaping(benchmark::State& state) {
    const std::string text = "[MessageProcessor::healthcheck req:123] Starting message processing";
    for (auto _ : state) benchmark::DoNotOptimize(needs_log_escaping(text));
}
BENCHMARK(BM_needs_log_escaping);

// One information line through the logger to its three sinks: held and written
// 4 KiB at a time, as in the host (held:1), or written at once (held:0).
void BM_log_line_info(benchmark::State& state) {
    const LogContext context("MessageProcessor", "healthcheck", "123");
    if (state.thread_index() == 0) logger().hold_lines(state.range(0) == 1);
    for (auto _ : state) logger().info("Starting message processing", context);
    if (state.thread_index() == 0) logger().hold_lines(true);
}
BENCHMARK(BM_log_line_info)->ArgName("held")->Arg(1)->Arg(0);
BENCHMARK(BM_log_line_info)->ArgName("held")->Arg(1)->Threads(2);

// A debug line at information level: dropped.
void BM_log_line_dropped(benchmark::State& state) {
    const LogContext context("MessageProcessor", "healthcheck", "123");
    for (auto _ : state) logger().debug("Message validation passed", context);
}
BENCHMARK(BM_log_line_dropped);

// ---- where the time of a log line goes ----
// The library alone, with the host's pattern and sinks, given the finished text
// (prefix included): the difference to BM_log_line_info is the facade's share.
// The variants take one sink away or change how standard error is written.

const char* const LINE_PATTERN = "%Y-%m-%d %H:%M:%S [%^%l%$] [tid:%t] %v";
const char* const LINE_TEXT = "[MessageProcessor::healthcheck req:123] Starting message processing";

// Standard error written a buffer at a time instead of a line at a time (what
// a sink flushed by the host when it runs out of work would cost).
class BufferedStderrSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        buffer_.append(formatted.data(), formatted.size());
        if (buffer_.size() >= 4096) flush_();
    }
    void flush_() override {
        framing::write_all(STDERR_FILENO, buffer_);
        buffer_.clear();
    }

private:
    std::string buffer_;
};

// The line formatted once for both outputs: standard error written per line,
// the file through stdio's buffer, as the two library sinks do.
class StderrAndFileSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit StderrAndFileSink(const std::filesystem::path& path)
        : file_(std::fopen(path.c_str(), "ab")) {}
    ~StderrAndFileSink() override {
        if (file_ != nullptr) std::fclose(file_);
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        framing::write_all(STDERR_FILENO, {formatted.data(), formatted.size()});
        std::fwrite(formatted.data(), 1, formatted.size(), file_);
    }
    void flush_() override { std::fflush(file_); }

private:
    std::FILE* file_;
};

enum class LineSinks { HOST_SET, FILE_ONLY, STDERR_ONLY, BUFFERED_STDERR_AND_FILE, ONE_FORMAT };

std::shared_ptr<spdlog::logger> line_logger(LineSinks which) {
    const std::string file = (work_dir / "library-lines.log").string();
    auto stderr_sink = [] {
        return std::make_shared<spdlog::sinks::ansicolor_stderr_sink_mt>(
            spdlog::color_mode::automatic);
    };
    auto file_sink = [&] {
        return std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            file, Logger::MAX_LOG_FILE_SIZE, Logger::MAX_NUM_OF_LOGS, true);
    };
    std::vector<spdlog::sink_ptr> sinks;
    switch (which) {
        case LineSinks::HOST_SET: {
            sinks = {stderr_sink(), file_sink()};
            auto syslog =
                std::make_shared<spdlog::sinks::syslog_sink_mt>("VornSmartCardBridge", 0, 8, true);
            syslog->set_level(spdlog::level::warn);
            sinks.push_back(syslog);
            break;
        }
        case LineSinks::FILE_ONLY:
            sinks = {file_sink()};
            break;
        case LineSinks::STDERR_ONLY:
            sinks = {stderr_sink()};
            break;
        case LineSinks::BUFFERED_STDERR_AND_FILE:
            sinks = {std::make_shared<BufferedStderrSink>(), file_sink()};
            break;
        case LineSinks::ONE_FORMAT:
            sinks = {
                std::make_shared<StderrAndFileSink>(work_dir / "library-lines-one-format.log")};
            break;
    }
    auto logger = std::make_shared<spdlog::logger>("library-lines", sinks.begin(), sinks.end());
    logger->set_level(spdlog::level::info);
    logger->set_pattern(LINE_PATTERN, spdlog::pattern_time_type::local);
    return logger;
}

void BM_library_line(benchmark::State& state, LineSinks sinks) {
    const auto logger = line_logger(sinks);
    const std::string text = LINE_TEXT;
    for (auto _ : state) logger->log(spdlog::level::info, "{}", text);
    logger->flush();
}
BENCHMARK_CAPTURE(BM_library_line, host_sinks, LineSinks::HOST_SET);
BENCHMARK_CAPTURE(BM_library_line, file_only, LineSinks::FILE_ONLY);
BENCHMARK_CAPTURE(BM_library_line, stderr_only, LineSinks::STDERR_ONLY);
BENCHMARK_CAPTURE(BM_library_line, buffered_stderr_and_file, LineSinks::BUFFERED_STDERR_AND_FILE);
BENCHMARK_CAPTURE(BM_library_line, formatted_once, LineSinks::ONE_FORMAT);

// ---- one request ----

// Reading one frame from memory: length, text, parse, envelope check.
void BM_read_message(benchmark::State& state) {
    LogLevelScope level(state.range(0) != 0);
    const std::string bytes = framing::encode_frame(HEALTHCHECK);
    for (auto _ : state) {
        MemoryByteSource source(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        benchmark::DoNotOptimize(read_message(source));
    }
}
BENCHMARK(BM_read_message)->ArgName("info")->Arg(1)->Arg(0);

// process_message on a parsed healthcheck; the response is taken off the
// process-wide send queue each time.
void BM_process_message_healthcheck(benchmark::State& state) {
    LogLevelScope level(state.range(0) != 0);
    const nlohmann::json request = nlohmann::json::parse(HEALTHCHECK);
    for (auto _ : state) {
        process_message(request);
        benchmark::DoNotOptimize(drain_send_queue());
    }
}
BENCHMARK(BM_process_message_healthcheck)->ArgName("info")->Arg(1)->Arg(0);

// The same for a transmit on the fake PC/SC service (answers 90 00).
void BM_process_message_transmit(benchmark::State& state) {
    LogLevelScope level(state.range(0) != 0);
    fake::FakePcsc& pcsc = fake::FakePcsc::instance();
    pcsc.reset();
    const nlohmann::json request = nlohmann::json::parse(TRANSMIT);
    std::size_t since_clear = 0;
    for (auto _ : state) {
        process_message(request);
        benchmark::DoNotOptimize(drain_send_queue());
        if (++since_clear == 1000) {
            // The fake records every call; keep its log from growing for ever.
            state.PauseTiming();
            pcsc.clear_calls();
            since_clear = 0;
            state.ResumeTiming();
        }
    }
    pcsc.reset();
}
BENCHMARK(BM_process_message_transmit)->ArgName("info")->Arg(1)->Arg(0);

// A request's whole CPU work on one thread, without pipes or thread hand-offs:
// read the frame, dispatch (which queues the answer as its frame), take it off the queue.
void BM_request_to_frame_healthcheck(benchmark::State& state) {
    LogLevelScope level(state.range(0) != 0);
    const std::string bytes = framing::encode_frame(HEALTHCHECK);
    std::string out;
    for (auto _ : state) {
        MemoryByteSource source(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        process_message(read_message(source).value_or(nullptr));
        for (OutgoingResponse& response : MessagingQueue::instance().wait_and_pop_all()) {
            out = std::move(response.frame);
        }
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_request_to_frame_healthcheck)->ArgName("info")->Arg(1)->Arg(0);

// ---- thread hand-offs ----

// Two threads passing a turn back and forth under a mutex and a condition
// variable, as the reader hands a request to a worker and the worker hands the
// response to the sender: one iteration is two hand-offs. Wall time, since the
// cost is waiting for the other thread to be woken.
void BM_thread_handoff_round_trip(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0;
    bool stop = false;
    std::thread partner([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return turn == 1 || stop; });
            if (stop) return;
            turn = 0;
            changed.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        turn = 1;
        changed.notify_all();
        changed.wait(lock, [&] { return turn == 0; });
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    partner.join();
}
BENCHMARK(BM_thread_handoff_round_trip)->UseRealTime();

// ---- start-up steps ----

// The log file sink as the host opens it: rotating on open, 3 files kept.
void BM_startup_rotating_file_sink(benchmark::State& state) {
    const std::filesystem::path path = work_dir / "startup" / "vorn_scard_bridge.log";
    std::filesystem::create_directories(path.parent_path());
    for (auto _ : state) {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            path.string(), Logger::MAX_LOG_FILE_SIZE, Logger::MAX_NUM_OF_LOGS, true);
        benchmark::DoNotOptimize(sink);
    }
}
BENCHMARK(BM_startup_rotating_file_sink);

void BM_startup_syslog_sink(benchmark::State& state) {
    for (auto _ : state) {
        auto sink =
            std::make_shared<spdlog::sinks::syslog_sink_mt>("VornSmartCardBridge", 0, 8, true);
        benchmark::DoNotOptimize(sink);
    }
}
BENCHMARK(BM_startup_syslog_sink);

void BM_startup_create_directories(benchmark::State& state) {
    const std::filesystem::path path = work_dir / "home" / ".local" / "state" / "vorn-scard-bridge";
    for (auto _ : state) benchmark::DoNotOptimize(std::filesystem::create_directories(path));
}
BENCHMARK(BM_startup_create_directories);

// Start and join the threads the host starts (sender, monitor, 3 workers).
void BM_startup_five_threads(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int i = 0; i < 5; ++i) threads.emplace_back([] {});
        for (std::thread& thread : threads) thread.join();
    }
}
BENCHMARK(BM_startup_five_threads);

}  // namespace

int main(int argc, char** argv) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vorn-microbench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    work_dir = pattern;
    // Standard error becomes a file, as a browser that logs its hosts' stderr has it.
    const int saved_stderr = ::dup(STDERR_FILENO);
    const std::string stderr_path = (work_dir / "stderr.log").string();
    const int error_file = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(error_file, STDERR_FILENO);
    ::close(error_file);

    Logger::get_instance(LogLevel::INFO,
                         LogDestination::CONSOLE | LogDestination::FILE | LogDestination::SYSLOG,
                         work_dir / "vorn_scard_bridge.log");
    // As the host has it, but every line written: the benchmarks measure a line's
    // way to its destinations, not the bound on lines about requests.
    logger().hold_lines(true);
    logger().limit_volume(false);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    logger().hold_lines(false);
    ::dup2(saved_stderr, STDERR_FILENO);
    std::error_code ignored;
    std::filesystem::remove_all(work_dir, ignored);
    return 0;
}
