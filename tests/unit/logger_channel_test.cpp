// One log destination behind a thread of its own (LogChannel): a destination that
// fails costs its lines, counted and told once it works again; one that never
// returns fills the bounded buffer, after which lines are dropped, and those who
// wait for it give up. The destination here is scripted.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_channel.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

// A destination scripted to fail with a reason, to hang until let go, or to take
// the lines; it keeps what it took.
class ScriptedDestination {
public:
    void fail_with(std::string why) {
        const std::lock_guard lock(mutex_);
        failure_ = std::move(why);
    }
    void hang() {
        const std::lock_guard lock(mutex_);
        hanging_ = true;
    }
    void let_go() {
        {
            const std::lock_guard lock(mutex_);
            hanging_ = false;
        }
        changed_.notify_all();
    }
    // Waits (bounded) until a write hangs; true when one does.
    bool wait_until_hanging() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, vorn_test::WAIT_LIMIT, [this] { return inside_; });
    }
    std::string taken() {
        const std::lock_guard lock(mutex_);
        return taken_;
    }
    std::vector<std::string> failures_reported() {
        const std::lock_guard lock(mutex_);
        return reported_;
    }

    LogChannel::Hooks hooks() {
        LogChannel::Hooks hooks;
        hooks.write = [this](std::string_view lines) -> std::string {
            std::unique_lock lock(mutex_);
            inside_ = hanging_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return !hanging_; });
            inside_ = false;
            if (!failure_.empty()) return failure_;
            taken_.append(lines);
            return {};
        };
        hooks.loss_notice = [](std::uint64_t lost, const std::string& why) {
            return std::to_string(lost) + " lost: " + why + "\n";
        };
        hooks.failing = [this](const std::string& why) {
            const std::lock_guard lock(mutex_);
            reported_.push_back(why);
        };
        hooks.behind = "not read";
        return hooks;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string failure_;
    bool hanging_ = false;
    bool inside_ = false;
    std::string taken_;
    std::vector<std::string> reported_;
};

TEST(LogChannel, WritesTheLinesInTheOrderPosted) {
    ScriptedDestination destination;
    LogChannel channel(destination.hooks());
    for (int i = 0; i < 100; ++i) channel.post("line " + std::to_string(i) + "\n");
    ASSERT_TRUE(channel.wait_written());
    std::string expected;
    for (int i = 0; i < 100; ++i) expected += "line " + std::to_string(i) + "\n";
    EXPECT_EQ(destination.taken(), expected);
}

TEST(LogChannel, FailedLinesAreCountedAndToldOnceWritingWorksAgain) {
    ScriptedDestination destination;
    LogChannel channel(destination.hooks());
    channel.post("kept\n");
    ASSERT_TRUE(channel.wait_written());
    destination.fail_with("No space left on device");
    channel.post("a\nb\n");
    ASSERT_TRUE(channel.wait_written());
    channel.post("c\n");
    ASSERT_TRUE(channel.wait_written());
    EXPECT_EQ(channel.untold_losses(), 3u);
    destination.fail_with("");
    channel.post("after\n");
    ASSERT_TRUE(channel.wait_written());
    EXPECT_EQ(destination.taken(), "kept\n3 lost: No space left on device\nafter\n");
    EXPECT_EQ(channel.untold_losses(), 0u);
    // Said once when the failing began, not for every failed write.
    EXPECT_EQ(destination.failures_reported(), std::vector<std::string>{"No space left on device"});
}

TEST(LogChannel, StuckDestinationCostsLinesNotWaits) {
    ScriptedDestination destination;
    constexpr std::size_t CAPACITY = 64;
    LogChannel channel(destination.hooks(), CAPACITY);
    destination.hang();
    channel.post("stuck in the write\n");
    ASSERT_TRUE(destination.wait_until_hanging());
    // Five fit the buffer, the other eleven are dropped.
    for (int i = 0; i < 16; ++i) channel.post("0123456789\n");
    EXPECT_EQ(channel.untold_losses(), 11u);
    // Those who wait give up on a writer that makes no progress (and at once while
    // it stays stuck).
    EXPECT_FALSE(channel.wait_written());
    EXPECT_FALSE(channel.wait_written());

    destination.let_go();
    const auto deadline = std::chrono::steady_clock::now() + vorn_test::WAIT_LIMIT;
    while (!channel.wait_written() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    channel.post("after\n");
    ASSERT_TRUE(channel.wait_written());
    std::string kept;
    for (int i = 0; i < 5; ++i) kept += "0123456789\n";
    EXPECT_EQ(destination.taken(), "stuck in the write\n11 lost: not read\n" + kept + "after\n");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
