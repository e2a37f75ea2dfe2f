// The host loop: start-up, one request per turn handed to the pool, the
// failures of a turn, and the ordered shutdown.
//
// run_host shuts the process-wide queue down for good, so every case runs in a
// child process. The child's reader follows a script; its sender prints each
// response as "RESPONSE:<json>" so that the parent can see what was answered.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "logging/logger.h"
#include "main/host_main.h"
#include "messaging/messaging_queue.h"
#include "support/exceptions.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using nlohmann::json;
using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Matcher;
using ::testing::Not;

using Step = std::function<json()>;

// Responses the child's sender has printed, for steps that wait for them.
struct Responses {
    std::mutex mutex;
    std::condition_variable condition;
    int count = 0;
};

Responses& responses() {
    static Responses* const shared = new Responses();
    return *shared;
}

// The read end of the host's wake pipe, as handed to the reader.
std::atomic<int>& wake_fd() {
    static std::atomic<int> fd{-1};
    return fd;
}

json request(const std::string& id, const std::string& command) {
    return json{{"requestId", id}, {"command", command}, {"params", json::array()}};
}

Step give(json value) {
    return [value] { return value; };
}

// Reads nothing until `count` responses have gone out (bounded), then hands the
// loop a JSON null, which it skips without counting.
Step wait_for_responses(int count) {
    return [count] {
        Responses& sent = responses();
        std::unique_lock lock(sent.mutex);
        if (!sent.condition.wait_for(lock, vorn_test::WAIT_LIMIT,
                                     [&] { return sent.count >= count; })) {
            std::fprintf(stderr, "TIMED OUT waiting for %d responses\n", count);
        }
        return json(nullptr);
    };
}

Step throw_security(SecuritySeverity severity) {
    return [severity]() -> json {
        throw SecurityException(severity, "Guard", "check_origin", "forged origin");
    };
}

// In the child: runs the host on the script; after the script the input ends.
[[noreturn]] void run_scripted_host(const std::vector<Step>& script) {
    ::alarm(60);
    auto next = std::make_shared<std::size_t>(0);
    // Run before each read, as the reader does before it waits for input.
    auto before_read = std::make_shared<std::function<void()>>();
    HostIo io;
    io.read_request = [script, next, before_read](const FrameAdmission&) -> json {
        if (*before_read) (*before_read)();
        // The lines handed to the log's writers before the wait are out before
        // what the script prints.
        Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}).wait_written();
        if (*next < script.size()) return script[(*next)++]();
        std::fprintf(stderr, "END OF SCRIPT\n");
        return json{{"command", "shutdown"}};
    };
    io.watch_wake_fd = [before_read](int fd, std::function<void()> before_wait) {
        wake_fd().store(fd);
        *before_read = std::move(before_wait);
    };
    io.send_responses = [](const std::function<void()>&) {
        MessagingQueue& queue = MessagingQueue::instance();
        while (auto message = queue.wait_and_pop()) {
            std::fprintf(stderr, "RESPONSE:%s\n", message->dump().c_str());
            Responses& sent = responses();
            {
                std::lock_guard lock(sent.mutex);
                ++sent.count;
            }
            sent.condition.notify_all();
        }
    };
    const HostOutcome outcome = run_host(io);
    std::fprintf(stderr, "HOST RETURNED %d\n", outcome.exit_code);
    vorn_test::exit_child(outcome.exit_code);
}

std::string main_line(const std::string& level, const std::string& text) {
    return "\\[" + level + "\\] \\[tid:[0-9]+\\] " + vorn_test::regex_escape("[Main] " + text) +
           "\n";
}

std::string worker_count_text() {
    const unsigned hardware = std::thread::hardware_concurrency();
    return std::to_string(std::max(hardware, 3u));
}

// The start-up lines, then the loop's own, then the shutdown lines with the count.
std::string life_cycle(const std::string& middle, int processed) {
    return main_line("info", "=== Vorn Smart Card Bridge Starting ===") + ".*" +
           main_line("info", "Running with " + worker_count_text() + " worker threads") + ".*" +
           main_line("info", "Message processing loop started") + ".*" + middle + ".*" +
           main_line("info", "Notifying all threads to shutdown") + ".*" +
           main_line("info", "Waiting for message sender thread to finish") + ".*" +
           main_line("info", "Total messages processed: " + std::to_string(processed)) + ".*" +
           main_line("info", "=== Vorn Smart Card Bridge Shutdown Complete ===") + ".*" +
           "HOST RETURNED 0\n";
}

const std::string HEALTHY = R"(RESPONSE:{"requestId":"after","result":["OK"],"status":"success"})";
const std::string HEALTHY_RE = vorn_test::regex_escape(HEALTHY);

TEST(HostLoopDeathTest, EndOfInputAtOnceShutsDownWithNothingProcessed) {
    EXPECT_EXIT(
        run_scripted_host({}), ::testing::ExitedWithCode(0),
        AllOf(ContainsRegex(life_cycle("END OF SCRIPT\n", 0)), Not(HasSubstr("RESPONSE:"))));
}

TEST(HostLoopDeathTest, CriticalSecurityViolationEndsTheHost) {
    const Step must_not_be_read = [] {
        std::fprintf(stderr, "READ AFTER CRITICAL\n");
        return request("late", "healthcheck");
    };
    EXPECT_EXIT(run_scripted_host({throw_security(SecuritySeverity::CRITICAL), must_not_be_read}),
                ::testing::ExitedWithCode(0),
                AllOf(ContainsRegex(life_cycle(
                          main_line("critical", "Security violation: forged origin") + ".*" +
                              main_line("critical", "Critical security violation, shutting down"),
                          0)),
                      Not(HasSubstr("READ AFTER CRITICAL")), Not(HasSubstr("END OF SCRIPT")),
                      // The loop's own clause takes it, not the error handler.
                      Not(HasSubstr("[ErrorHandler::handle_error]"))));
}

struct SeverityCase {
    const char* name;
    SecuritySeverity severity;
};

class HostLoopSecurityDeathTest : public ::testing::TestWithParam<SeverityCase> {};

TEST_P(HostLoopSecurityDeathTest, LesserViolationIsLoggedAndTheLoopGoesOn) {
    EXPECT_EXIT(
        run_scripted_host({throw_security(GetParam().severity),
                           give(request("after", "healthcheck")), wait_for_responses(1)}),
        ::testing::ExitedWithCode(0),
        AllOf(
            ContainsRegex(life_cycle(
                main_line("critical", "Security violation: forged origin") + ".*" + HEALTHY_RE, 1)),
            Not(HasSubstr("Critical security violation")), Not(HasSubstr("TIMED OUT"))));
}

INSTANTIATE_TEST_SUITE_P(Severities, HostLoopSecurityDeathTest,
                         ::testing::Values(SeverityCase{"Low", SecuritySeverity::LOW},
                                           SeverityCase{"Medium", SecuritySeverity::MEDIUM},
                                           SeverityCase{"High", SecuritySeverity::HIGH}),
                         [](const auto& info) { return std::string(info.param.name); });

struct VornCase {
    const char* name;
    ErrorCategory category;
    std::string level;
};

class HostLoopVornExceptionDeathTest : public ::testing::TestWithParam<VornCase> {};

TEST_P(HostLoopVornExceptionDeathTest, GoesToTheErrorHandlerWithMainLoopContext) {
    const ErrorCategory category = GetParam().category;
    const Step failing = [category]() -> json {
        throw VornException(category, "Reader", "connect", "timeout");
    };
    const std::string handled = "\\[" + GetParam().level + "\\] \\[tid:[0-9]+\\] " +
                                vorn_test::regex_escape(
                                    "[ErrorHandler::handle_error] Error in Reader::connect - "
                                    "timeout (Context: main_loop)") +
                                "\n";
    EXPECT_EXIT(
        run_scripted_host({failing, give(request("after", "healthcheck")), wait_for_responses(1)}),
        ::testing::ExitedWithCode(0),
        AllOf(ContainsRegex(life_cycle(handled + ".*" + HEALTHY_RE, 1)),
              Not(HasSubstr("Error processing message")), Not(HasSubstr("TIMED OUT"))));
}

INSTANTIATE_TEST_SUITE_P(Categories, HostLoopVornExceptionDeathTest,
                         ::testing::Values(VornCase{"Warning", ErrorCategory::WARNING, "warning"},
                                           VornCase{"General", ErrorCategory::GENERAL, "error"},
                                           VornCase{"Critical", ErrorCategory::CRITICAL,
                                                    "critical"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The JSON library's description when `request["command"]` is read as a string.
std::string command_read_error(json request) {
    try {
        const std::string command = request["command"].get<std::string>();
        return "(read: " + command + ")";
    } catch (const json::exception& e) {
        return e.what();
    }
}

struct BadTurnCase {
    std::string name;
    Step step;
    std::string line;  // the error line of the failed turn
};

void PrintTo(const BadTurnCase& c, std::ostream* os) { *os << c.name; }

class HostLoopBadTurnDeathTest : public ::testing::TestWithParam<BadTurnCase> {};

// A failed turn is logged, nothing is counted or answered, and the next request
// is read and handled normally.
TEST_P(HostLoopBadTurnDeathTest, IsLoggedAndTheNextRequestIsServed) {
    EXPECT_EXIT(
        run_scripted_host(
            {GetParam().step, give(request("after", "healthcheck")), wait_for_responses(1)}),
        ::testing::ExitedWithCode(0),
        AllOf(ContainsRegex(life_cycle(main_line("error", GetParam().line) + ".*" + HEALTHY_RE, 1)),
              Not(HasSubstr("TIMED OUT")),
              // The healthcheck is the only response.
              Not(ContainsRegex("RESPONSE:.*RESPONSE:"))));
}

INSTANTIATE_TEST_SUITE_P(
    Turns, HostLoopBadTurnDeathTest,
    ::testing::Values(
        BadTurnCase{"RequestWithoutCommand",
                    give(json{{"requestId", "x"}, {"params", json::array()}}),
                    "Error processing message: "
                    "[json.exception.type_error.302] type must be string, but is null"},
        BadTurnCase{"CommandNotAString",
                    give(json{{"requestId", "x"}, {"command", 5}, {"params", json::array()}}),
                    "Error processing message: " + command_read_error(json{{"command", 5}})},
        BadTurnCase{
            "RequestNotAnObject", give(json::array({"healthcheck"})),
            "Error processing message: " + command_read_error(json::array({"healthcheck"}))},
        BadTurnCase{"ReaderThrowsStandardException",
                    []() -> json { throw std::runtime_error("reader broke"); },
                    "Error processing message: reader broke"}),
    [](const auto& info) { return info.param.name; });

TEST(HostLoopDeathTest, NullFromTheReaderIsSkippedWithoutCounting) {
    EXPECT_EXIT(run_scripted_host({give(nullptr), give(nullptr),
                                   give(request("after", "healthcheck")), wait_for_responses(1)}),
                ::testing::ExitedWithCode(0), ContainsRegex(life_cycle(HEALTHY_RE, 1)));
}

TEST(HostLoopDeathTest, ShutdownRequestIsNeitherCountedNorAnswered) {
    const Step must_not_be_read = [] {
        std::fprintf(stderr, "READ AFTER SHUTDOWN\n");
        return request("late", "healthcheck");
    };
    EXPECT_EXIT(
        run_scripted_host({give(request("after", "healthcheck")), wait_for_responses(1),
                           give(request("stop", "shutdown")), must_not_be_read}),
        ::testing::ExitedWithCode(0),
        AllOf(ContainsRegex(life_cycle(HEALTHY_RE, 1)), Not(HasSubstr("\"requestId\":\"stop\"")),
              Not(HasSubstr("READ AFTER SHUTDOWN")), Not(HasSubstr("END OF SCRIPT"))));
}

struct SignalCase {
    const char* name;
    int signal_number;
};

class HostLoopSignalDeathTest : public ::testing::TestWithParam<SignalCase> {};

// A signal that arrives while a frame is being read: that frame is still handed
// to the pool, the wake pipe becomes readable (so a reader blocked on input
// would return), and the next turn shuts the host down in order.
TEST_P(HostLoopSignalDeathTest, StopsAtTheNextTurn) {
    const int signal_number = GetParam().signal_number;
    const Step signalled = [signal_number] {
        std::raise(signal_number);
        pollfd ready{wake_fd().load(), POLLIN, 0};
        if (ready.fd >= 0 && ::poll(&ready, 1, 0) == 1) std::fprintf(stderr, "WAKE FD READABLE\n");
        return request("during-signal", "frobnicate");
    };
    const Step must_not_be_read = [] {
        std::fprintf(stderr, "READ AFTER SIGNAL\n");
        return request("late", "healthcheck");
    };
    EXPECT_EXIT(run_scripted_host({signalled, must_not_be_read}), ::testing::ExitedWithCode(0),
                AllOf(ContainsRegex(life_cycle("WAKE FD READABLE\n", 1)),
                      Not(HasSubstr("READ AFTER SIGNAL")), Not(HasSubstr("END OF SCRIPT"))));
}

INSTANTIATE_TEST_SUITE_P(Signals, HostLoopSignalDeathTest,
                         ::testing::Values(SignalCase{"Terminate", SIGTERM},
                                           SignalCase{"Interrupt", SIGINT}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HostLoopDeathTest, CountIncludesRequestsThatFailedOrWereUnsupported) {
    EXPECT_EXIT(
        run_scripted_host(
            {give(request("u1", "frobnicate")), give(request("u2", "release_context")),
             give(json{{"requestId", ""}, {"command", "healthcheck"}, {"params", json::array()}}),
             give(request("after", "healthcheck")), wait_for_responses(3)}),
        ::testing::ExitedWithCode(0),
        AllOf(
            ContainsRegex(life_cycle("", 4)),
            HasSubstr(
                R"(RESPONSE:{"requestId":"u1","result":"command_not_supported","status":"error"})"),
            HasSubstr(
                R"(RESPONSE:{"requestId":"u2","result":["0x80100014","Missing context parameter"],"status":"error"})"),
            HasSubstr(HEALTHY), Not(HasSubstr("TIMED OUT"))));
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
