// The host loop: start-up, one request per turn handed to the session, the
// failures of a turn, every way a run ends, and the ordered shutdown.
//
// Each case runs a Host in this process, one after another (a run opens again
// what the last one shut down). Its reader follows a script; its sender records
// each response.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "host/host.h"
#include "messaging/messaging_queue.h"
#include "support/exceptions.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using nlohmann::json;
using Line = std::pair<std::string, std::string>;  // level, text

// What a scripted run saw.
struct ScriptedRun {
    int wake_fd = -1;
    std::function<void()> before_read;
    std::size_t reads = 0;  // calls of the reader, the one that found the input's end included
    bool woken = false;     // the wake pipe was readable after a signal
    std::mutex mutex;
    std::condition_variable answered;
    std::vector<std::string> responses;
    std::function<void()> output_broken;  // as the sender was given it
};

using Step = std::function<ReadRequest(ScriptedRun&)>;

json request(const std::string& id, const std::string& command) {
    return json{{"requestId", id}, {"command", command}, {"params", json::array()}};
}

ReadRequest nothing() { return {false, nullptr, {}}; }

Step give(json value) {
    return [value](ScriptedRun&) { return ReadRequest{false, value, {}}; };
}

// Reads nothing until `count` responses have gone out (bounded).
Step wait_for_responses(std::size_t count) {
    return [count](ScriptedRun& run) {
        std::unique_lock lock(run.mutex);
        run.answered.wait_for(lock, vorn_test::WAIT_LIMIT,
                              [&] { return run.responses.size() >= count; });
        return nothing();
    };
}

// The sender reports its output broken, as a failed write does (bounded).
Step break_output() {
    return [](ScriptedRun& run) {
        std::function<void()> output_broken;
        {
            std::unique_lock lock(run.mutex);
            run.answered.wait_for(lock, vorn_test::WAIT_LIMIT,
                                  [&] { return static_cast<bool>(run.output_broken); });
            output_broken = run.output_broken;
        }
        if (output_broken) output_broken();
        return nothing();
    };
}

Step throw_security(SecuritySeverity severity) {
    return [severity](ScriptedRun&) -> ReadRequest {
        throw SecurityException(severity, "Guard", "check_origin", "forged origin");
    };
}

Step throw_vorn(ErrorCategory category) {
    return [category](ScriptedRun&) -> ReadRequest {
        throw VornException(category, "Reader", "connect", "timeout");
    };
}

// A signal while a frame is read: that frame is still handed on.
Step signalled(int signal_number) {
    return [signal_number](ScriptedRun& run) {
        std::raise(signal_number);
        pollfd ready{run.wake_fd, POLLIN, 0};
        run.woken = ready.fd >= 0 && ::poll(&ready, 1, 0) == 1;
        return ReadRequest{false, request("after", "healthcheck"), {}};
    };
}

Step shut_queue_down() {
    return [](ScriptedRun&) {
        MessagingQueue::instance().shutdown();
        return nothing();
    };
}

// Runs a host on the script; after the script the input ends.
HostOutcome run_script(ScriptedRun& run, const std::vector<Step>& script) {
    HostIo io;
    io.read_request = [&run, &script](const FrameAdmission&) -> ReadRequest {
        // As the reader does before it waits for input.
        if (run.before_read) run.before_read();
        const std::size_t step = run.reads++;
        if (step < script.size()) return script[step](run);
        return {true, nullptr, {}};
    };
    io.watch_wake_fd = [&run](int fd, std::function<void()> before_wait) {
        run.wake_fd = fd;
        run.before_read = std::move(before_wait);
    };
    io.send_responses = [&run](const std::function<void()>& output_broken) {
        {
            std::lock_guard lock(run.mutex);
            run.output_broken = output_broken;
        }
        run.answered.notify_all();
        while (auto message = MessagingQueue::instance().wait_and_pop()) {
            {
                std::lock_guard lock(run.mutex);
                run.responses.push_back(message->dump());
            }
            run.answered.notify_all();
        }
    };
    Host host(std::move(io));
    return host.run();
}

std::string worker_count_text() {
    return std::to_string(std::max(std::thread::hardware_concurrency(), 3u));
}

// The start-up lines, the loop's own, then the shutdown lines with the count.
std::vector<Line> life_cycle(const std::vector<Line>& middle, int processed) {
    std::vector<Line> lines = {
        {"info", "[Main] === Vorn Smart Card Bridge Starting ==="},
        {"info", "[Main] Running with " + worker_count_text() + " worker threads"},
        {"info", "[Main] Message processing loop started"}};
    lines.insert(lines.end(), middle.begin(), middle.end());
    lines.insert(lines.end(),
                 {{"info", "[Main] Notifying all threads to shutdown"},
                  {"info", "[Main] Waiting for message sender thread to finish"},
                  {"info", "[Main] Total messages processed: " + std::to_string(processed)},
                  {"info", "[Main] === Vorn Smart Card Bridge Shutdown Complete ==="}});
    return lines;
}

// The JSON library's description when `request["command"]` is read as a string.
std::string command_read_error(json request) {
    try {
        return request["command"].get<std::string>();
    } catch (const json::exception& e) {
        return e.what();
    }
}

const std::string HEALTHY = R"({"requestId":"after","result":["OK"],"status":"success"})";
const Step AFTER = give(request("after", "healthcheck"));

struct RunCase {
    std::string name;
    std::vector<Step> script;
    CloseReason reason;
    std::size_t reads;         // the reader is not called again once the run is closed
    std::vector<Line> middle;  // the Main lines between start-up and shutdown
    int processed;
    std::vector<std::string> responses;  // in any order
    std::vector<Line> handled = {};      // the error handler's lines
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class HostRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(HostRun, EndsForItsReasonWithTheWholeShutdown) {
    const RunCase& c = GetParam();
    ScriptedRun run;
    vorn_test::StderrCapture capture;
    const HostOutcome outcome = run_script(run, c.script);
    const std::vector<vorn_test::LogLine> lines = capture.take_lines();

    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.busy_workers, 0u);
    EXPECT_EQ(to_string(outcome.reason), std::string(to_string(c.reason)));
    EXPECT_EQ(run.reads, c.reads);
    EXPECT_EQ(run.woken, c.reason == CloseReason::SIGNALLED);
    std::vector<Line> main_lines;
    for (const auto& line : vorn_test::lines_starting_with(lines, "[Main] ")) {
        main_lines.emplace_back(line.level, line.text);
    }
    EXPECT_EQ(main_lines, life_cycle(c.middle, c.processed));
    std::vector<Line> handled;
    for (const auto& line : vorn_test::lines_starting_with(lines, "[ErrorHandler::handle_error]")) {
        handled.emplace_back(line.level, line.text);
    }
    EXPECT_EQ(handled, c.handled);
    std::vector<std::string> responses = run.responses;
    std::vector<std::string> expected = c.responses;
    std::sort(responses.begin(), responses.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(responses, expected);
}

std::vector<RunCase> run_cases() {
    const Line violation = {"critical", "[Main] Security violation: forged origin"};
    std::vector<RunCase> cases = {
        {"EndOfInputAtOnce", {}, CloseReason::INPUT_ENDED, 1, {}, 0, {}},
        {"CriticalSecurityViolation",
         {throw_security(SecuritySeverity::CRITICAL), AFTER},
         CloseReason::SECURITY_VIOLATION,
         1,
         {violation, {"critical", "[Main] Critical security violation, shutting down"}},
         0,
         {}},
        {"NullFromTheReaderIsSkippedWithoutCounting",
         {give(nullptr), give(nullptr), AFTER, wait_for_responses(1)},
         CloseReason::INPUT_ENDED,
         5,
         {},
         1,
         {HEALTHY}},
        {"ShutdownRequestIsNeitherCountedNorAnswered",
         {AFTER, wait_for_responses(1), give(request("stop", "shutdown")), AFTER},
         CloseReason::SHUTDOWN_REQUEST,
         3,
         {},
         1,
         {HEALTHY}},
        {"CountIncludesRequestsThatFailedOrWereUnsupported",
         {give(request("u1", "frobnicate")), give(request("u2", "release_context")),
          give(json{{"requestId", ""}, {"command", "healthcheck"}, {"params", json::array()}}),
          AFTER, wait_for_responses(3)},
         CloseReason::INPUT_ENDED,
         6,
         {},
         4,
         {R"({"requestId":"u1","result":"command_not_supported","status":"error"})",
          R"({"requestId":"u2","result":["0x80100014","Missing context parameter"],"status":"error"})",
          HEALTHY}},
        {"OutputBrokenClosesTheRun",
         {break_output(), AFTER},
         CloseReason::OUTPUT_BROKEN,
         1,
         {},
         0,
         {}},
        {"QueueShutDownUnderTheRun",
         {shut_queue_down(), AFTER},
         CloseReason::QUEUE_SHUT_DOWN,
         1,
         {{"info", "[Main] Shutdown flag detected, exiting main loop"}},
         0,
         {}},
    };
    for (const auto& [name, severity] :
         {std::pair{"Low", SecuritySeverity::LOW}, std::pair{"Medium", SecuritySeverity::MEDIUM},
          std::pair{"High", SecuritySeverity::HIGH}}) {
        cases.push_back({std::string("LesserSecurityViolationGoesOn") + name,
                         {throw_security(severity), AFTER, wait_for_responses(1)},
                         CloseReason::INPUT_ENDED,
                         4,
                         {violation},
                         1,
                         {HEALTHY}});
    }
    // Goes to the error handler with the loop's context, at the category's level.
    for (const auto& [name, category, level] :
         {std::tuple{"Warning", ErrorCategory::WARNING, "warning"},
          std::tuple{"General", ErrorCategory::GENERAL, "error"},
          std::tuple{"Critical", ErrorCategory::CRITICAL, "critical"}}) {
        cases.push_back({std::string("VornException") + name,
                         {throw_vorn(category), AFTER, wait_for_responses(1)},
                         CloseReason::INPUT_ENDED,
                         4,
                         {},
                         1,
                         {HEALTHY},
                         {{level,
                           "[ErrorHandler::handle_error] Error in Reader::connect - timeout "
                           "(Context: main_loop)"}}});
    }
    // A failed turn is logged, nothing is counted or answered, and the next request
    // is read and handled normally.
    for (const auto& [name, step, line] :
         {std::tuple{"RequestWithoutCommand",
                     give(json{{"requestId", "x"}, {"params", json::array()}}),
                     std::string("[json.exception.type_error.302] type must be string, but is "
                                 "null")},
          std::tuple{"CommandNotAString",
                     give(json{{"requestId", "x"}, {"command", 5}, {"params", json::array()}}),
                     command_read_error(json{{"command", 5}})},
          std::tuple{"RequestNotAnObject", give(json::array({"healthcheck"})),
                     command_read_error(json::array({"healthcheck"}))},
          std::tuple{"ReaderThrowsStandardException", Step([](ScriptedRun&) -> ReadRequest {
                         throw std::runtime_error("reader broke");
                     }),
                     std::string("reader broke")}}) {
        cases.push_back({std::string("BadTurn") + name,
                         {step, AFTER, wait_for_responses(1)},
                         CloseReason::INPUT_ENDED,
                         4,
                         {{"error", "[Main] Error processing message: " + line}},
                         1,
                         {HEALTHY}});
    }
    // The frame read while the signal came is still handed on, the wake pipe is
    // readable (a reader blocked on input returns), and the next turn closes the run.
    for (const auto& [name, signal_number] :
         {std::pair{"Terminate", SIGTERM}, std::pair{"Interrupt", SIGINT}}) {
        cases.push_back({std::string("Signal") + name,
                         {signalled(signal_number), AFTER},
                         CloseReason::SIGNALLED,
                         1,
                         {},
                         1,
                         {HEALTHY}});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Scripts, HostRun, ::testing::ValuesIn(run_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace Vorn_SCard_Bridge
