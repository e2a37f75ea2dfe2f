#pragma once

// Helpers shared by the unit tests of the host's spine: reading back what the
// Logger wrote to standard error, and waiting for other threads without ever
// hanging the test binary.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_test {

// How long a test waits for something that should happen at once. Generous, so
// a loaded machine does not fail a test; a hang still ends.
constexpr std::chrono::seconds WAIT_LIMIT{10};

// One line as the Logger writes it:
// "YYYY-MM-DD HH:MM:SS [level] [tid:N] text".
struct LogLine {
    std::string level;  // "debug", "info", "warning", "error", "critical"
    std::string text;   // everything after "[tid:N] ", context prefix included
    unsigned long thread_id = 0;
};

// Removes ANSI colour sequences (the console sink colours the level on a terminal).
std::string strip_ansi(std::string_view text);

// Splits captured standard error into log lines; lines that do not follow the
// pattern are kept with an empty level and the whole line as text.
std::vector<LogLine> parse_log_lines(std::string_view captured);

// Lines whose text starts with `prefix` (for example "[MessageReader::read_message").
std::vector<LogLine> lines_starting_with(const std::vector<LogLine>& lines,
                                         std::string_view prefix);

// Captures standard error from construction until take(); a capture that is not
// taken is ended by the destructor, so a failing assertion does not leave fd 2
// redirected for the next test.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string take();
    std::vector<LogLine> take_lines() { return parse_log_lines(take()); }

private:
    bool active = true;
};

// Runs `work` on a detached thread and waits at most `limit` for it to return.
// False on time-out: the thread is left behind (whatever it captures must be
// owned by it, e.g. through shared_ptr) and the test goes on.
bool finishes_within(std::function<void()> work, std::chrono::milliseconds limit);

// `text` with every POSIX extended-regex metacharacter escaped, for the
// expectations of EXPECT_EXIT.
std::string regex_escape(std::string_view text);

// True in the child of a death test: the test binary run again for that one test.
bool in_death_test_child();

// The cases `build` makes, or none in the child of a death test. GoogleTest builds
// every table of cases in every process, and the child runs none of them: tables
// of frames of a megabyte cost more there than the child's own test. Not for the
// tables of death tests themselves, whose children need their case.
template <typename Case>
std::vector<Case> cases_unless_death_test_child(std::vector<Case> (*build)()) {
    if (in_death_test_child()) return {};
    return build();
}

// Ends a death-test child with `code` without running static destructors
// (worker threads may still be alive) after flushing standard streams.
[[noreturn]] void exit_child(int code);

}  // namespace vorn_test
