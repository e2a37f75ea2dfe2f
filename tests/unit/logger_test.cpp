// The process-wide Logger: line format, context prefix, level filter, escaping
// of control characters, and how it is built on first use.
//
// The test process's Logger is console-only at DEBUG (test_support.cpp); how a
// Logger is built on first use is in logger_construction_test.cpp.

#include "logging/logger.h"

#include <gtest/gtest.h>
#include <spdlog/details/os.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_escape.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using vorn_test::LogLine;
using vorn_test::StderrCapture;

Logger& test_logger() { return Logger::get_instance(LogLevel::DEBUG, LogDestination::CONSOLE, {}); }

// Puts the level back to DEBUG whatever a test did.
class LevelGuard {
public:
    ~LevelGuard() { test_logger().set_log_level(LogLevel::DEBUG); }
};

// The lines whose text starts with the given prefix, from one capture.
template <typename Work>
std::vector<LogLine> lines_of(const std::string& prefix, Work work) {
    StderrCapture capture;
    work();
    return vorn_test::lines_starting_with(capture.take_lines(), prefix);
}

// ---------------------------------------------------------------- prefix

struct PrefixCase {
    const char* name;
    std::string component, operation, request_id;
    std::string expected;
};

class ContextPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(ContextPrefix, NamesWhoIsSpeaking) {
    const PrefixCase& c = GetParam();
    EXPECT_EQ(Logger::format_context_prefix(LogContext(c.component, c.operation, c.request_id)),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Contexts, ContextPrefix,
    ::testing::Values(PrefixCase{"AllFields", "MessageProcessor", "process_message", "7",
                                 "[MessageProcessor::process_message req:7] "},
                      PrefixCase{"ComponentOnly", "Main", "", "", "[Main] "},
                      PrefixCase{"ComponentAndOperation", "MessageReader", "read_message", "",
                                 "[MessageReader::read_message] "},
                      PrefixCase{"ComponentAndRequest", "Main", "", "r1", "[Main req:r1] "},
                      PrefixCase{"EmptyComponentHidesTheRest", "", "process_message", "7", ""},
                      PrefixCase{"AllEmpty", "", "", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContextPrefix, DefaultContextHasNoPrefixAndRecordsTheThread) {
    const LogContext context;
    EXPECT_EQ(Logger::format_context_prefix(context), "");
    EXPECT_EQ(context.thread_id, std::this_thread::get_id());
}

// ---------------------------------------------------------------- line format

TEST(LoggerLine, FollowsThePattern) {
    const std::string captured = [] {
        StderrCapture capture;
        test_logger().info("Message processing loop started", LogContext("Main", "", ""));
        return capture.take();
    }();
    const auto lines = vorn_test::lines_starting_with(vorn_test::parse_log_lines(captured),
                                                      "[Main] Message processing loop started");
    ASSERT_EQ(lines.size(), 1u) << captured;
    EXPECT_EQ(lines[0].level, "info");
    EXPECT_EQ(lines[0].text, "[Main] Message processing loop started");
    // The thread id is the system's id of the logging thread (gettid, GetCurrentThreadId).
    EXPECT_EQ(lines[0].thread_id, static_cast<unsigned long>(spdlog::details::os::thread_id()));
}

struct LevelCase {
    LogLevel level;
    std::string name;
};

class LoggerLevelName : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LoggerLevelName, IsPrintedInBrackets) {
    const LogContext context("LevelTest", "", "");
    const auto lines = lines_of("[LevelTest] ", [&] {
        test_logger().log_with_context(GetParam().level, "x", context, LogDestination::NONE);
    });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Levels, LoggerLevelName,
                         ::testing::Values(LevelCase{LogLevel::DEBUG, "debug"},
                                           LevelCase{LogLevel::INFO, "info"},
                                           LevelCase{LogLevel::WARNING, "warning"},
                                           LevelCase{LogLevel::ERROR, "error"},
                                           LevelCase{LogLevel::CRITICAL, "critical"}));

TEST(LoggerLine, EachLevelFunctionLogsAtItsLevel) {
    const LogContext context("Funcs", "", "");
    const auto lines = lines_of("[Funcs] ", [&] {
        Logger& logger = test_logger();
        logger.debug("d", context);
        logger.info("i", context);
        logger.warning("w", context);
        logger.error("e", context);
        logger.critical("c", context);
    });
    ASSERT_EQ(lines.size(), 5u);
    const std::vector<std::pair<std::string, std::string>> expected = {{"debug", "[Funcs] d"},
                                                                       {"info", "[Funcs] i"},
                                                                       {"warning", "[Funcs] w"},
                                                                       {"error", "[Funcs] e"},
                                                                       {"critical", "[Funcs] c"}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i].level, expected[i].first);
        EXPECT_EQ(lines[i].text, expected[i].second);
    }
}

TEST(LoggerLine, LogWithoutContextHasNoPrefix) {
    StderrCapture capture;
    test_logger().log(LogLevel::ERROR, "enqueue-like line without prefix", LogDestination::NONE);
    const auto lines = capture.take_lines();
    const auto mine = vorn_test::lines_starting_with(lines, "enqueue-like line without prefix");
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].level, "error");
}

TEST(LoggerLine, PerCallConsoleDestinationWritesTheLineOnce) {
    StderrCapture capture;
    test_logger().log(LogLevel::WARNING, "per-call console line", LogDestination::CONSOLE);
    const auto mine = vorn_test::lines_starting_with(capture.take_lines(), "per-call console line");
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].level, "warning");
}

// ---------------------------------------------------------------- message text

struct TextCase {
    const char* name;
    std::string message;
    std::string printed;
};

class LoggerText : public ::testing::TestWithParam<TextCase> {};

// Messages carry text from requests and cards: a control character must not
// forge a line or repaint the terminal, and format syntax is not interpreted.
TEST_P(LoggerText, IsPrintedOnOneLineAsGiven) {
    const TextCase& c = GetParam();
    const std::string captured = [&] {
        StderrCapture capture;
        test_logger().info(c.message, LogContext("TextTest", "", ""));
        return capture.take();
    }();
    const auto lines = vorn_test::parse_log_lines(captured);
    const auto mine = vorn_test::lines_starting_with(lines, "[TextTest] ");
    ASSERT_EQ(mine.size(), 1u) << captured;
    EXPECT_EQ(mine[0].text, "[TextTest] " + c.printed);
    // Nothing of the message spilled onto a line of its own.
    for (const LogLine& line : lines) EXPECT_FALSE(line.level.empty()) << line.text;
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Messages, LoggerText,
    ::testing::Values(
        TextCase{"BracesIntact", "a {} b {0} {:x}", "a {} b {0} {:x}"},
        TextCase{"PatternFlagsIntact", "%v %t %l %%", "%v %t %l %%"},
        TextCase{"NewlineEscaped", "a\nb", "a\\nb"},
        TextCase{"ForgedLine", "ok\n2026-01-31 09:15:02 [info] [tid:1] [Main] forged",
                 "ok\\n2026-01-31 09:15:02 [info] [tid:1] [Main] forged"},
        TextCase{"CarriageReturnEscaped", "a\rb", "a\\rb"}, TextCase{"TabEscaped", "a\tb", "a\\tb"},
        TextCase{"EscapeSequenceEscaped", "\x1b[31mred", "\\x1B[31mred"},
        TextCase{"NulEscaped", "a\0b"s, "a\\x00b"}, TextCase{"BellEscaped", "\x07", "\\x07"},
        TextCase{"DeleteEscaped", "a\x7F", "a\\x7F"},
        TextCase{"C1FirstEscaped", "a\xC2\x80z", "a\\u0080z"},
        TextCase{"C1NextLineEscaped", "a\xC2\x85z", "a\\u0085z"},
        TextCase{"C1LastEscaped", "a\xC2\x9Fz", "a\\u009Fz"},
        TextCase{"NoBreakSpaceKept", "a\xC2\xA0z", "a\xC2\xA0z"},
        TextCase{"Utf8Kept", "Lecteur \xC3\xA9 \xE2\x82\xAC", "Lecteur \xC3\xA9 \xE2\x82\xAC"},
        TextCase{"BackslashKept", "C:\\path\\n", "C:\\path\\n"},
        // Bytes outside UTF-8 (a page's or a driver's) reach no log raw.
        TextCase{"LoneC2Escaped", "end\xC2", "end\\xC2"},
        TextCase{"Latin1Escaped", "Lecteur \xE9 00", "Lecteur \\xE9 00"},
        TextCase{"OverlongEscaped", "\xC0\xAF/", "\\xC0\\xAF/"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoggerText, ControlCharactersInTheContextAreEscapedToo) {
    const auto lines =
        lines_of("[Ctx", [] { test_logger().info("m", LogContext("Ctx", "op\n", "r\r1")); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "[Ctx::op\\n req:r\\r1] m");
}

// Page-sized ids and messages cannot push every earlier line out of the rotated files.
TEST(LoggerText, HugeRequestIdsAndMessagesAreCutWithTheirSize) {
    const std::string id(1048576, 'i');
    const std::string message = std::string(5000, 'm') + "\n";
    const auto lines =
        lines_of("[Ctx", [&] { test_logger().info(message, LogContext("Ctx", "op", id)); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "[Ctx::op req:" + std::string(128, 'i') + "... [1048576 bytes]] " +
                                 std::string(4096, 'm') + "... [5001 bytes]");
    // A character is never split by the cut.
    std::string storage;
    EXPECT_EQ(cut_for_log(std::string(127, 'a') + "\xC3\xA9z", 128, storage),
              std::string(127, 'a') + "... [130 bytes]");
}

TEST(LogEscape, OnlyTextWithControlCharactersOrBytesOutsideUtf8NeedsEscaping) {
    EXPECT_FALSE(needs_log_escaping("plain text {} \\ \xC3\xA9"));
    EXPECT_FALSE(needs_log_escaping(""));
    EXPECT_TRUE(needs_log_escaping("a\nb"));
    EXPECT_TRUE(needs_log_escaping("\x7F"));
    EXPECT_TRUE(needs_log_escaping("\xC2\x9B"));
    EXPECT_TRUE(needs_log_escaping("\xFF"));
    // Past a character of several bytes, the next ones are still looked at.
    EXPECT_FALSE(needs_log_escaping("\xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0"));
    EXPECT_TRUE(needs_log_escaping("\xE2\x82\xAC\n"));
    EXPECT_TRUE(needs_log_escaping("\xC2\xA0\xC2\x85"));
    // A sequence cut short, a surrogate.
    EXPECT_TRUE(needs_log_escaping("ok\xE2\x82"));
    EXPECT_TRUE(needs_log_escaping("\xED\xA0\x80"));
    EXPECT_EQ(escape_for_log("\x01\x1F"), "\\x01\\x1F");
    EXPECT_EQ(escape_for_log("plain"), "plain");
}

// ---------------------------------------------------------------- held lines

// Holds lines for the length of a test, as the host does, and lets them go after.
class Holding {
public:
    Holding() { test_logger().hold_lines(true); }
    ~Holding() { test_logger().hold_lines(false); }
};

TEST(LoggerHeldLines, WaitForTheFlushThenLeaveInOrder) {
    const Holding holding;
    {
        StderrCapture capture;
        test_logger().info("held one", LogContext("Held", "", ""));
        test_logger().info("held two", LogContext("Held", "", ""));
        EXPECT_TRUE(vorn_test::lines_starting_with(capture.take_lines(), "[Held] ").empty());
    }
    StderrCapture capture;
    test_logger().flush();
    test_logger().wait_written();
    const auto lines = vorn_test::lines_starting_with(capture.take_lines(), "[Held] ");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "[Held] held one");
    EXPECT_EQ(lines[1].text, "[Held] held two");
}

// The writing threads format the lines: a line still names the thread that logged it.
TEST(LoggerHeldLines, NameTheThreadThatLoggedThem) {
    const Holding holding;
    StderrCapture capture;
    std::size_t logging_thread = 0;
    std::thread([&] {
        logging_thread = spdlog::details::os::thread_id();
        test_logger().info("from another thread", LogContext("Named", "", ""));
    }).join();
    test_logger().flush();
    test_logger().wait_written();
    const auto lines = vorn_test::lines_starting_with(capture.take_lines(), "[Named] ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].thread_id, static_cast<unsigned long>(logging_thread));
    EXPECT_NE(logging_thread, spdlog::details::os::thread_id());
}

// A warning is not kept back, nor is anything logged before it.
TEST(LoggerHeldLines, AWarningWritesEverythingAtOnce) {
    StderrCapture capture;
    const Holding holding;
    test_logger().info("before the warning", LogContext("Warned", "", ""));
    test_logger().warning("the warning", LogContext("Warned", "", ""));
    test_logger().wait_written();
    const auto lines = vorn_test::lines_starting_with(capture.take_lines(), "[Warned] ");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "[Warned] before the warning");
    EXPECT_EQ(lines[1].level, "warning");
}

// What is held stays small: a burst leaves once it passes a few KiB.
TEST(LoggerHeldLines, ABurstLeavesBeforeItGrowsLarge) {
    StderrCapture capture;
    const Holding holding;
    for (int i = 0; i < 100; ++i) {
        test_logger().info("line of a long burst " + std::to_string(i),
                           LogContext("Burst", "", ""));
    }
    test_logger().wait_written();
    const auto lines = vorn_test::lines_starting_with(capture.take_lines(), "[Burst] ");
    EXPECT_GE(lines.size(), 50u);
    EXPECT_LT(lines.size(), 100u);
}

TEST(LoggerHeldLines, TurningHoldingOffWritesWhatIsHeld) {
    auto holding = std::make_unique<Holding>();
    test_logger().info("held until the end", LogContext("Ending", "", ""));
    StderrCapture capture;
    holding.reset();
    EXPECT_EQ(vorn_test::lines_starting_with(capture.take_lines(), "[Ending] ").size(), 1u);
}

// ---------------------------------------------------------------- level and instance

TEST(LoggerLevel, DebugLineBelowInfoProducesNothing) {
    LevelGuard restore;
    Logger& logger = test_logger();
    logger.set_log_level(LogLevel::INFO);
    EXPECT_FALSE(logger.is_enabled(LogLevel::DEBUG));
    EXPECT_TRUE(logger.is_enabled(LogLevel::INFO));
    StderrCapture capture;
    logger.debug("filtered debug line", LogContext("LevelFilter", "", ""));
    logger.info("kept info line", LogContext("LevelFilter", "", ""));
    const auto lines = vorn_test::lines_starting_with(capture.take_lines(), "[LevelFilter] ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "[LevelFilter] kept info line");
}

struct ThresholdCase {
    LogLevel threshold;
    std::size_t lines_kept;  // of the five levels, debug to critical
};

class LoggerThreshold : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(LoggerThreshold, KeepsTheLevelAndAbove) {
    LevelGuard restore;
    test_logger().set_log_level(GetParam().threshold);
    const LogContext context("Threshold", "", "");
    const auto lines = lines_of("[Threshold] ", [&] {
        for (int level = 0; level <= 4; ++level) {
            test_logger().log_with_context(static_cast<LogLevel>(level), "l", context,
                                           LogDestination::NONE);
        }
    });
    EXPECT_EQ(lines.size(), GetParam().lines_kept);
}

INSTANTIATE_TEST_SUITE_P(Levels, LoggerThreshold,
                         ::testing::Values(ThresholdCase{LogLevel::DEBUG, 5},
                                           ThresholdCase{LogLevel::INFO, 4},
                                           ThresholdCase{LogLevel::WARNING, 3},
                                           ThresholdCase{LogLevel::ERROR, 2},
                                           ThresholdCase{LogLevel::CRITICAL, 1}));

TEST(LoggerInstance, LaterCallsReturnTheFirstInstanceUnchanged) {
    Logger& first = test_logger();
    Logger& second = Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {});
    Logger& third = Logger::get_instance(
        LogLevel::CRITICAL, LogDestination::FILE | LogDestination::SYSLOG, "elsewhere.log");
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(&first, &third);
    // The first call's level (DEBUG) is still in force.
    EXPECT_TRUE(second.is_enabled(LogLevel::DEBUG));
    const auto lines = lines_of(
        "[Instance] ", [&] { second.debug("still at debug", LogContext("Instance", "", "")); });
    EXPECT_EQ(lines.size(), 1u);
}

TEST(LoggerConcurrency, LinesFromManyThreadsStayWhole) {
    constexpr int THREADS = 6;
    constexpr int LINES = 150;
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            const LogContext context("Concurrent", "t" + std::to_string(t), "");
            for (int i = 0; i < LINES; ++i) {
                test_logger().info("line " + std::to_string(i) + " of thread " + std::to_string(t),
                                   context);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const auto lines = vorn_test::lines_starting_with(capture.take_lines(), "[Concurrent::");
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(THREADS * LINES));
    std::vector<int> next(THREADS, 0);
    for (const LogLine& line : lines) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(std::sscanf(line.text.c_str(), "[Concurrent::t%d] line %d of thread", &t, &i), 2)
            << line.text;
        ASSERT_TRUE(t >= 0 && t < THREADS) << line.text;
        EXPECT_EQ(line.text, "[Concurrent::t" + std::to_string(t) + "] line " + std::to_string(i) +
                                 " of thread " + std::to_string(t));
        // Each thread's lines appear in the order it wrote them.
        EXPECT_EQ(i, next[t]++) << line.text;
    }
}

// Replacing the sinks while other threads write must neither crash nor lose a
// line (the console sink is shared by the old and the new library logger).
TEST(LoggerConcurrency, ReconfiguringWhileOthersWriteLosesNoLine) {
    constexpr int THREADS = 3;
    constexpr int LINES = 200;
    StderrCapture capture;
    std::atomic<int> running{THREADS};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&running] {
            const LogContext context("Reconfigured", "", "");
            for (int i = 0; i < LINES; ++i) test_logger().info("line", context);
            running.fetch_sub(1);
        });
    }
    while (running.load() > 0) test_logger().set_default_destinations(LogDestination::CONSOLE);
    for (std::thread& thread : threads) thread.join();
    const auto lines = vorn_test::lines_starting_with(capture.take_lines(), "[Reconfigured] ");
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(THREADS * LINES));
}

TEST(LogDestinationSet, CombinesAndTestsFlagsBitByBit) {
    const LogDestination all =
        LogDestination::CONSOLE | LogDestination::FILE | LogDestination::SYSLOG;
    EXPECT_EQ(static_cast<int>(all), 7);
    EXPECT_TRUE(has_destination(all, LogDestination::FILE));
    EXPECT_FALSE(has_destination(LogDestination::CONSOLE, LogDestination::FILE));
    EXPECT_FALSE(has_destination(LogDestination::NONE, LogDestination::CONSOLE));
    EXPECT_TRUE(
        has_destination(LogDestination::CONSOLE | LogDestination::SYSLOG, LogDestination::SYSLOG));
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
