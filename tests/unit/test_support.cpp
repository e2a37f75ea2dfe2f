#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <regex>
#include <thread>

#include "logging/logger.h"

namespace vorn_test {

namespace {

// The first Logger::get_instance of a process decides its sinks for good. The
// unit tests must never write log files into the real HOME nor into the system
// log, so the test process makes that first call itself, console only, at the
// DEBUG level and without the bounds on lines about requests, so that every line
// of the code under test can be checked.
//
// A death-test child that wants to build the Logger itself (to test its
// construction) runs with VORN_TEST_FRESH_LOGGER set and skips this.
class ConsoleLoggerEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // Children re-run the binary instead of forking a process that may have
        // worker threads (and locks held by them) around.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (std::getenv("VORN_TEST_FRESH_LOGGER") != nullptr) return;
        Vorn_SCard_Bridge::Logger::get_instance(Vorn_SCard_Bridge::LogLevel::DEBUG,
                                                Vorn_SCard_Bridge::LogDestination::CONSOLE, {})
            .limit_volume(false);
    }
};

[[maybe_unused]] ::testing::Environment* const console_logger_environment =
    ::testing::AddGlobalTestEnvironment(new ConsoleLoggerEnvironment);

}  // namespace

std::string strip_ansi(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < text.size() && !(text[end] >= '@' && text[end] <= '~')) ++end;
            i = end;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::vector<LogLine> parse_log_lines(std::string_view captured) {
    static const std::regex pattern(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[([a-z]+)\] \[tid:(\d+)\] (.*)$)");
    const std::string plain = strip_ansi(captured);
    std::vector<LogLine> lines;
    std::size_t start = 0;
    while (start < plain.size()) {
        std::size_t end = plain.find('\n', start);
        if (end == std::string::npos) end = plain.size();
        std::string line = plain.substr(start, end - start);
        // Standard error is a text stream on Windows: it ends lines with \r\n.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::smatch match;
        if (std::regex_match(line, match, pattern)) {
            lines.push_back({match[1].str(), match[3].str(), std::stoul(match[2].str())});
        } else {
            lines.push_back({"", line, 0});
        }
        start = end + 1;
    }
    return lines;
}

std::vector<LogLine> lines_starting_with(const std::vector<LogLine>& lines,
                                         std::string_view prefix) {
    std::vector<LogLine> selected;
    for (const LogLine& line : lines) {
        if (line.text.compare(0, prefix.size(), prefix) == 0) selected.push_back(line);
    }
    return selected;
}

StderrCapture::StderrCapture() { ::testing::internal::CaptureStderr(); }

StderrCapture::~StderrCapture() {
    if (active) ::testing::internal::GetCapturedStderr();
}

std::string StderrCapture::take() {
    if (!active) return {};
    active = false;
    std::fflush(stderr);
    return ::testing::internal::GetCapturedStderr();
}

bool finishes_within(std::function<void()> work, std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

std::string regex_escape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (std::string_view(R"(\^$.|?*+()[]{})").find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

bool in_death_test_child() { return !GTEST_FLAG_GET(internal_run_death_test).empty(); }

void exit_child(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}

}  // namespace vorn_test
