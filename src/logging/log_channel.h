#pragma once

// One log destination the host does not control: standard error (the browser may
// never read it, or close it), the log file (the disk may be full, the folder
// gone) or the system log. Lines are handed over and written by a thread of the
// channel's own, started with the first lines, so no thread that logs ever waits
// for the destination. What does not fit the bounded buffer, and what the
// destination refuses, is dropped and counted; the next write that succeeds
// begins with one line telling how many were lost.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace Vorn_SCard_Bridge {

class LogChannel {
public:
    // Lines waiting for the destination: past this, new lines are dropped.
    static constexpr std::size_t CAPACITY = 1024 * 1024;
    // Lines that come within this of the first after a quiet spell are written
    // together: under a steady trickle of requests the writer wakes a few hundred
    // times a second, not once a request. Not for lines somebody waits for.
    static constexpr std::chrono::milliseconds GATHER_TIME{2};
    // Lines written at once, without gathering more: a burst needs no company.
    static constexpr std::size_t GATHER_LIMIT = 64 * 1024;
    // How long wait_written() waits for a writer that makes no progress at all.
    static constexpr std::chrono::milliseconds STALL_LIMIT{100};
    // A destination that fails again and again (a disk nearly full) is reported
    // failing at most this often.
    static constexpr std::chrono::seconds FAILING_REPORT_INTERVAL{60};

    struct Hooks {
        // Writes whole lines (each ending in '\n'); returns what went wrong, or an
        // empty string when they were written.
        std::function<std::string(std::string_view lines)> write;
        // The line (formatted, with its end) that tells of `lost` lines and why.
        std::function<std::string(std::uint64_t lost, const std::string& why)> loss_notice;
        // Called when writing begins to fail (not for a slow destination), at most
        // once per FAILING_REPORT_INTERVAL, on the channel's thread, with no lock of
        // the channel held.
        std::function<void(const std::string& why)> failing;
        // Why lines are dropped when the buffer is full ("not read", "too slow").
        std::string behind;
        // Run first on the channel's thread.
        std::function<void()> on_start;
    };

    explicit LogChannel(Hooks hooks, std::size_t capacity = CAPACITY);
    // Waits for the thread, so only for a channel whose write returns (tests); the
    // Logger's channels live as long as the process.
    ~LogChannel();
    LogChannel(const LogChannel&) = delete;
    LogChannel& operator=(const LogChannel&) = delete;

    // Takes whole lines if they fit the buffer, else counts them lost. Never waits
    // for the destination.
    void post(std::string_view lines);
    // Waits until everything posted before the call has been written or lost; gives
    // up when the writer makes no progress for STALL_LIMIT, and at once while it is
    // still stuck where an earlier wait gave up. True when nothing is left.
    bool wait_written();

    // Lines dropped so far and not yet told in the destination.
    std::uint64_t untold_losses() const;

private:
    void run();

    Hooks hooks_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;      // the writer: lines posted, a waiter, or stop
    std::condition_variable progress_;  // those who wait: a batch has left
    std::string pending_;
    std::uint64_t posted_ = 0;                // bytes accepted, ever
    std::uint64_t finished_ = 0;              // of those, bytes written or lost
    std::uint64_t given_up_at_ = UINT64_MAX;  // finished_ when a wait last gave up
    int waiting_ = 0;                         // threads inside wait_written()
    std::uint64_t lost_ = 0;
    std::string why_lost_;
    bool failing_ = false;
    bool reported_ = false;
    std::chrono::steady_clock::time_point last_report_{};
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace Vorn_SCard_Bridge
