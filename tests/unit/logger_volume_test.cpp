// How many lines a page can make the host log (LogVolume): lines about requests
// and about unreadable input pass at a bounded rate and up to a bound a session,
// the system log gets fewer still, and what is held back is told in a summary.
// The clock is passed in: every case is exact.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging/log_volume.h"
#include "logging/logger.h"

namespace Vorn_SCard_Bridge {
namespace {

using Clock = LogVolume::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Clock::time_point START{seconds(1000)};
// A line of exactly 1 KiB once formatted.
constexpr std::size_t KIB_LINE = 1024 - LogVolume::FORMATTED_LINE_OVERHEAD;

struct Step {
    milliseconds at;
    LineKind kind;
    int lines;  // of KIB_LINE, all information lines
    int written;
};

struct RateCase {
    const char* name;
    std::vector<Step> steps;
};

class LogVolumeRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(LogVolumeRate, WritesWhatTheBudgetAllows) {
    LogVolume volume;
    for (const Step& step : GetParam().steps) {
        int written = 0;
        for (int i = 0; i < step.lines; ++i) {
            written += volume.admit(step.kind, KIB_LINE, false, START + step.at).write ? 1 : 0;
        }
        EXPECT_EQ(written, step.written) << "at " << step.at.count() << " ms";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Budgets, LogVolumeRate,
    ::testing::Values(RateCase{"HostLinesAreNeverHeldBack",
                               {{milliseconds(0), LineKind::HOST, 20000, 20000}}},
                      // 256 KiB at once, then 16 KiB a second.
                      RateCase{"RequestBurstThenRate",
                               {{milliseconds(0), LineKind::REQUEST, 300, 256},
                                {milliseconds(1000), LineKind::REQUEST, 100, 16},
                                {milliseconds(1500), LineKind::REQUEST, 100, 8}}},
                      RateCase{"RefillsUpToTheBurstOnly",
                               {{milliseconds(0), LineKind::REQUEST, 256, 256},
                                {milliseconds(3600 * 1000), LineKind::REQUEST, 300, 256}}},
                      // Input errors: 32 KiB at once, 2 KiB a second, apart from the requests'.
                      RateCase{"InputErrorsHaveABudgetOfTheirOwn",
                               {{milliseconds(0), LineKind::REQUEST, 300, 256},
                                {milliseconds(0), LineKind::INPUT, 50, 32},
                                {milliseconds(500), LineKind::INPUT, 5, 1},
                                {milliseconds(500), LineKind::HOST, 5, 5}}}),
    [](const auto& info) { return std::string(info.param.name); });

// 8 MiB a session, however slowly the lines come: a session stays inside its file.
TEST(LogVolume, SessionBoundHoldsForGood) {
    LogVolume volume;
    int written = 0;
    for (int hour = 0; hour < 40; ++hour) {
        for (int i = 0; i < 300; ++i) {
            written +=
                volume.admit(LineKind::REQUEST, KIB_LINE, false, START + seconds(3600 * hour)).write
                    ? 1
                    : 0;
        }
    }
    EXPECT_EQ(written, 8 * 1024);
}

TEST(LogVolume, SystemLogGetsTenAtOnceThenSixAMinute) {
    LogVolume volume;
    int to_system_log = 0;
    int written = 0;
    for (int i = 0; i < 30; ++i) {
        const VolumeDecision decision = volume.admit(LineKind::REQUEST, 100, true, START);
        written += decision.write ? 1 : 0;
        to_system_log += decision.system_log ? 1 : 0;
    }
    EXPECT_EQ(written, 30);
    EXPECT_EQ(to_system_log, 10);
    EXPECT_FALSE(volume.admit(LineKind::REQUEST, 100, true, START + seconds(9)).system_log);
    EXPECT_TRUE(volume.admit(LineKind::REQUEST, 100, true, START + seconds(10)).system_log);
    // Lines below warning do not go there at all: they take nothing of it.
    EXPECT_TRUE(volume.admit(LineKind::REQUEST, 100, false, START + seconds(10)).system_log);
}

TEST(LogVolume, SummaryComesAfterAnIntervalAndCountsEveryLine) {
    LogVolume volume;
    for (int i = 0; i < 300; ++i) volume.admit(LineKind::REQUEST, KIB_LINE, false, START);
    EXPECT_TRUE(volume.has_untold());
    EXPECT_TRUE(volume.take_summaries(START + seconds(9), false).empty());
    volume.admit(LineKind::REQUEST, 1024 * 1024, false, START + seconds(9));
    EXPECT_EQ(volume.take_summaries(START + seconds(10), false),
              std::vector<std::string>{"45 request lines suppressed"});
    EXPECT_FALSE(volume.has_untold());
    EXPECT_TRUE(volume.take_summaries(START + seconds(100), true).empty());
}

TEST(LogVolume, FinalSummaryTellsBothKindsAndTheSystemLog) {
    LogVolume volume;
    for (int i = 0; i < 12; ++i) volume.admit(LineKind::REQUEST, 10, true, START);
    for (int i = 0; i < 40; ++i) volume.admit(LineKind::INPUT, KIB_LINE, true, START);
    EXPECT_EQ(volume.take_summaries(START + seconds(1), true),
              (std::vector<std::string>{"2 request lines kept out of the system log",
                                        "8 input error lines suppressed, 22 kept out of the "
                                        "system log"}));
}

struct KindCase {
    const char* name;
    LogLevel level;
    std::string message;
    LogContext context;
    LineKind kind;
};

class LineKindOf : public ::testing::TestWithParam<KindCase> {};

TEST_P(LineKindOf, FollowsWhoSpeaksAndAboutWhat) {
    const KindCase& c = GetParam();
    EXPECT_EQ(Logger::kind_of(c.level, c.message, c.context), c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineKindOf,
    ::testing::Values(
        KindCase{"RequestId", LogLevel::INFO, "Response sent successfully",
                 LogContext("MessageSender", "send_message", "r1"), LineKind::REQUEST},
        KindCase{"DispatcherWithoutId", LogLevel::ERROR, "Missing or invalid 'requestId' field",
                 LogContext("MessageProcessor", "process_message", ""), LineKind::REQUEST},
        KindCase{"ReaderError", LogLevel::ERROR, "Error parsing message",
                 LogContext("MessageReader", "read_message", ""), LineKind::INPUT},
        KindCase{"LoopErrorAboutAFrame", LogLevel::ERROR, "Error processing message: type_error",
                 LogContext("Main", "", ""), LineKind::INPUT},
        KindCase{"ReaderEndOfInput", LogLevel::INFO, "Pipe closed by Chrome, exiting...",
                 LogContext("MessageReader", "read_message", ""), LineKind::HOST},
        KindCase{"Start", LogLevel::INFO, "=== Vorn Smart Card Bridge Starting ===",
                 LogContext("Main", "", ""), LineKind::HOST},
        KindCase{"FatalError", LogLevel::CRITICAL, "Fatal error in main: x",
                 LogContext("Main", "", ""), LineKind::HOST},
        KindCase{"WriteFailed", LogLevel::ERROR, "Error sending message: write failed",
                 LogContext("MessageSender", "send_message", ""), LineKind::HOST}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge
