#pragma once

// How many lines a page can make the host log. Each request logs a few lines and a
// page may send tens of thousands of requests a second: unbounded, they would
// rotate every earlier line, and the files of earlier sessions, out of the log
// within seconds, and fill the system log. Lines about requests, and errors about
// unreadable input, are let through at a bounded rate and up to a bound per
// session; what is held back is counted and told in a summary line. Lines about
// the host's own life (start, stop, its failures) are never held back.
//
// No clock and no threads here: the caller passes the time and holds the lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vorn_SCard_Bridge {

enum class LineKind : std::uint8_t {
    HOST,     // the host's own life: always written
    REQUEST,  // about one request (its context carries a request id, or the dispatcher speaks)
    INPUT,    // a warning or error about a frame that could not be read as a request
};

// A budget that refills at `per_second` units a second up to `burst`, and never
// gives more than `per_session` units in all.
struct RateFigures {
    double per_second;
    double burst;
    double per_session;
};

class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    explicit TokenBucket(RateFigures figures) : figures_(figures), tokens_(figures.burst) {}

    // Takes `units` if they are there at `now`; false (nothing taken) if not.
    bool take(double units, Clock::time_point now);

private:
    RateFigures figures_;
    double tokens_;
    double given_ = 0;
    bool started_ = false;
    Clock::time_point last_{};
};

// What to do with one line.
struct VolumeDecision {
    bool write = true;       // to standard error and the file
    bool system_log = true;  // also to the system log (for lines that go there at all)
};

class LogVolume {
public:
    using Clock = std::chrono::steady_clock;

    // Lines about requests, counted in bytes of text (a line's cost is its text plus
    // FORMATTED_LINE_OVERHEAD): 16 KiB a second is the twenty-odd requests a second
    // of an extension at work, each logged in full; 256 KiB lets a burst of ~300
    // requests through whole; 8 MiB a session keeps a session, however hostile,
    // inside the one 10 MiB file it starts, so the files of the sessions before it
    // are never rotated away by it.
    static constexpr RateFigures REQUEST_LINES{16.0 * 1024, 256.0 * 1024, 8.0 * 1024 * 1024};
    // Errors about unreadable frames (2 to 3 lines each, with an echo of the text):
    // enough to see what a page sends wrong, not a copy of every frame.
    static constexpr RateFigures INPUT_LINES{2.0 * 1024, 32.0 * 1024, 1024.0 * 1024};
    // The system log is the machine's, shared with every other program: of each kind,
    // 10 lines at once and 6 a minute, counted in lines, 200 a session.
    static constexpr RateFigures SYSTEM_LOG_LINES{6.0 / 60, 10, 200};
    // The date, level and thread id the pattern adds to a text.
    static constexpr std::size_t FORMATTED_LINE_OVERHEAD = 48;
    // Lines held back are told at most this often (and when the host stops).
    static constexpr Clock::duration SUMMARY_INTERVAL = std::chrono::seconds(10);

    LogVolume();

    // For a line of `kind` with `text_bytes` of text; `for_system_log`: the line is
    // of a level the system log takes.
    VolumeDecision admit(LineKind kind, std::size_t text_bytes, bool for_system_log,
                         Clock::time_point now);

    // The summaries to write now: those whose interval has passed or, with `final`,
    // all that have something to tell. E.g. "31840 request lines suppressed".
    std::vector<std::string> take_summaries(Clock::time_point now, bool final);
    // True while a summary has something to tell.
    bool has_untold() const { return untold_ > 0; }

private:
    struct Kind {
        const char* name;
        TokenBucket lines;
        TokenBucket system_log;
        std::uint64_t suppressed = 0;        // not written at all
        std::uint64_t kept_from_system = 0;  // written, but not to the system log
        Clock::time_point since{};           // of the lines not yet told
    };
    Kind& kind_of(LineKind kind) { return kind == LineKind::REQUEST ? request_ : input_; }
    static std::string summary_of(Kind& kind);

    Kind request_;
    Kind input_;
    int untold_ = 0;  // kinds with something to tell
};

}  // namespace Vorn_SCard_Bridge
