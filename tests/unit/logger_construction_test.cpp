// How the process-wide Logger is built on first use: the file sink in the log
// directory under HOME, and standard error when no destination is usable. Each
// test runs in a child process that builds its own Logger.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "logging/log_location.h"
#include "logging/logger.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

namespace fs = std::filesystem;

// Child processes of these tests skip the test process's console logger, so
// their first get_instance really builds one.
class FreshLoggerDeathTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("VORN_TEST_FRESH_LOGGER", "1", 1); }
    void TearDown() override { ::unsetenv("VORN_TEST_FRESH_LOGGER"); }
};

std::string make_temp_home() {
    char pattern[] = "/tmp/vorn-logger-home-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return made == nullptr ? std::string() : std::string(made);
}

TEST_F(FreshLoggerDeathTest, UnusableLogDirectoryWarnsAndLogsWithoutTheFile) {
    EXPECT_EXIT(
        {
            ::alarm(30);
            const std::string home = make_temp_home();
            // HOME is a file: no log directory of any system's layout can be made.
            const std::string file = home + "/file";
            std::ofstream(file) << "a file where a directory should be";
            ::setenv("HOME", file.c_str(), 1);
            ::unsetenv("XDG_STATE_HOME");
            Logger& logger =
                Logger::get_instance(LogLevel::INFO, LogDestination::CONSOLE | LogDestination::FILE,
                                     "vorn_scard_bridge.log");
            logger.info("still logging", LogContext("Main", "", ""));
            logger.flush();
            const bool untouched = fs::is_regular_file(file);
            fs::remove_all(home);
            vorn_test::exit_child(untouched ? 0 : 1);
        },
        ::testing::ExitedWithCode(0),
        "\\[warning\\] \\[tid:[0-9]+\\] Log file unavailable, logging without it: [^\n]+\n"
        "[^\n]*\\[info\\] \\[tid:[0-9]+\\] \\[Main\\] still logging");
}

TEST_F(FreshLoggerDeathTest, FileSinkWritesTheLinesAtTheLevelIntoTheLogDirectory) {
    EXPECT_EXIT(
        {
            ::alarm(30);
            const std::string home = make_temp_home();
            ::setenv("HOME", home.c_str(), 1);
            ::unsetenv("XDG_STATE_HOME");
            Logger& logger =
                Logger::get_instance(LogLevel::INFO, LogDestination::CONSOLE | LogDestination::FILE,
                                     "vorn_scard_bridge.log");
            logger.info("into the file", LogContext("Main", "", ""));
            logger.debug("below the level", LogContext("Main", "", ""));
            logger.flush();
            logger.wait_written();
            const fs::path file = get_log_file_path("vorn_scard_bridge.log");
            if (file.string().rfind(home, 0) != 0) vorn_test::exit_child(2);
            std::ifstream in(file);
            std::stringstream content;
            content << in.rdbuf();
            fs::remove_all(home);
            const std::string text = content.str();
            std::fprintf(stderr, "FILE<%s>\n", text.c_str());
            const bool ok = text.find("[info] [tid:") != std::string::npos &&
                            text.find("[Main] into the file\n") != std::string::npos &&
                            text.find("below the level") == std::string::npos;
            vorn_test::exit_child(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0),
        "FILE<[0-9]{4}-[0-9]{2}-[0-9]{2} [^\n]*\\[Main\\] into the file");
}

struct NoSinkCase {
    const char* name;
    LogDestination destinations;
    const char* path;
};

class FreshLoggerFallback : public FreshLoggerDeathTest,
                            public ::testing::WithParamInterface<NoSinkCase> {};

// Without a usable destination the Logger still writes to standard error.
TEST_P(FreshLoggerFallback, StillLogsOnStandardError) {
    const NoSinkCase c = GetParam();
    EXPECT_EXIT(
        {
            ::alarm(30);
            const std::string home = make_temp_home();
            ::setenv("HOME", home.c_str(), 1);
            Logger& logger = Logger::get_instance(LogLevel::DEBUG, c.destinations, c.path);
            logger.debug("fallback works", LogContext("Main", "", ""));
            logger.flush();
            logger.wait_written();
            fs::remove_all(home);
            vorn_test::exit_child(0);
        },
        ::testing::ExitedWithCode(0), "\\[debug\\] \\[tid:[0-9]+\\] \\[Main\\] fallback works");
}

INSTANTIATE_TEST_SUITE_P(Destinations, FreshLoggerFallback,
                         ::testing::Values(NoSinkCase{"NoDestination", LogDestination::NONE, ""},
                                           NoSinkCase{"FileWithoutPath", LogDestination::FILE, ""},
                                           NoSinkCase{"ConsoleOnly", LogDestination::CONSOLE, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge
