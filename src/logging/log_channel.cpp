#include "logging/log_channel.h"

#include <algorithm>
#include <utility>

namespace Vorn_SCard_Bridge {

namespace {

std::uint64_t count_lines(std::string_view lines) {
    return static_cast<std::uint64_t>(std::count(lines.begin(), lines.end(), '\n'));
}

}  // namespace

LogChannel::LogChannel(Hooks hooks, std::size_t capacity)
    : hooks_(std::move(hooks)), capacity_(capacity) {}

LogChannel::~LogChannel() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void LogChannel::post(std::string_view lines) {
    if (lines.empty()) return;
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        if (pending_.size() + lines.size() > capacity_) {
            lost_ += count_lines(lines);
            if (!failing_) why_lost_ = hooks_.behind;
            return;
        }
        wake = pending_.empty();
        pending_.append(lines);
        posted_ += lines.size();
        // Started with the first lines: a destination that gets none (the system
        // log of a host that never warns) costs no thread.
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    if (wake) wake_.notify_one();
}

bool LogChannel::wait_written() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_;
    if (finished_ >= target) return true;
    if (finished_ == given_up_at_) return false;
    // The writer stops gathering for us.
    ++waiting_;
    wake_.notify_one();
    bool written = true;
    for (std::uint64_t seen = finished_; finished_ < target; seen = finished_) {
        if (!progress_.wait_for(lock, STALL_LIMIT, [&] { return finished_ != seen; })) {
            given_up_at_ = finished_;
            written = false;
            break;
        }
    }
    --waiting_;
    return written;
}

std::uint64_t LogChannel::untold_losses() const {
    const std::lock_guard lock(mutex_);
    return lost_;
}

void LogChannel::run() {
    if (hooks_.on_start) hooks_.on_start();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) return;
        wake_.wait_for(lock, GATHER_TIME, [this] {
            return stopping_ || waiting_ > 0 || pending_.size() >= GATHER_LIMIT;
        });
        std::string batch;
        batch.swap(pending_);
        const std::uint64_t lost = std::exchange(lost_, 0);
        const std::string why = why_lost_;
        lock.unlock();

        // The destination may take its time, or never return: no lock is held here.
        std::string problem;
        if (lost > 0) {
            problem = hooks_.write(hooks_.loss_notice(lost, why) + batch);
        } else {
            problem = hooks_.write(batch);
        }

        lock.lock();
        finished_ += batch.size();
        bool report = false;
        if (!problem.empty()) {
            lost_ += lost + count_lines(batch);
            why_lost_ = problem;
            const auto now = std::chrono::steady_clock::now();
            report = !failing_ && (!reported_ || now - last_report_ >= FAILING_REPORT_INTERVAL);
            if (report) {
                reported_ = true;
                last_report_ = now;
            }
        }
        failing_ = !problem.empty();
        // The batch's room serves the next lines: posting then allocates nothing.
        if (pending_.empty() && batch.capacity() <= capacity_) {
            batch.clear();
            pending_.swap(batch);
        }
        progress_.notify_all();
        if (report && hooks_.failing) {
            lock.unlock();
            hooks_.failing(problem);
            lock.lock();
        }
    }
}

}  // namespace Vorn_SCard_Bridge
