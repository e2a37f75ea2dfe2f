// The outbound queue between the workers and the sender thread. Each test uses
// a queue of its own: the process-wide one is shared with the dispatcher tests
// and its shutdown is for good.

#include "messaging/messaging_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "messaging/frame_codec.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using nlohmann::json;
using vorn_test::finishes_within;
using vorn_test::WAIT_LIMIT;

json response(int n) { return json{{"requestId", "r" + std::to_string(n)}, {"n", n}}; }

// Pops on another thread, so that a pop that never returns fails the test
// instead of hanging it.
// The messages of a batch pop, in order.
std::deque<json> messages_of(std::deque<OutgoingResponse> batch) {
    std::deque<json> messages;
    for (OutgoingResponse& outgoing : batch) messages.push_back(outgoing.message());
    return messages;
}

std::optional<json> pop_within(const std::shared_ptr<MessagingQueue>& queue, bool& returned) {
    auto result = std::make_shared<std::optional<json>>();
    returned = finishes_within([queue, result] { *result = queue->wait_and_pop(); }, WAIT_LIMIT);
    return returned ? *result : std::nullopt;
}

TEST(MessagingQueue, PopsInTheOrderOfPushes) {
    auto queue = std::make_shared<MessagingQueue>();
    for (int n = 0; n < 100; ++n) queue->push(response(n));
    for (int n = 0; n < 100; ++n) {
        bool returned = false;
        const auto message = pop_within(queue, returned);
        ASSERT_TRUE(returned);
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(*message, response(n));
    }
}

TEST(MessagingQueue, StoresACopy) {
    auto queue = std::make_shared<MessagingQueue>();
    json message = response(1);
    queue->push(message);
    message["n"] = 99;
    bool returned = false;
    EXPECT_EQ(pop_within(queue, returned), std::optional<json>(response(1)));
}

TEST(MessagingQueue, PushAfterShutdownIsDropped) {
    auto queue = std::make_shared<MessagingQueue>();
    EXPECT_FALSE(queue->is_shutdown());
    queue->push(response(1));
    queue->shutdown();
    EXPECT_TRUE(queue->is_shutdown());
    queue->push(response(2));

    bool returned = false;
    EXPECT_EQ(pop_within(queue, returned), std::optional<json>(response(1)));
    const auto after = pop_within(queue, returned);
    ASSERT_TRUE(returned) << "a shut-down, empty queue must not block";
    EXPECT_FALSE(after.has_value()) << *after;
}

TEST(MessagingQueue, DrainsAfterShutdownThenReturnsEmptyEveryTime) {
    auto queue = std::make_shared<MessagingQueue>();
    queue->push(response(1));
    queue->push(response(2));
    queue->shutdown();
    bool returned = false;
    EXPECT_EQ(pop_within(queue, returned), std::optional<json>(response(1)));
    EXPECT_EQ(pop_within(queue, returned), std::optional<json>(response(2)));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pop_within(queue, returned), std::nullopt);
        EXPECT_TRUE(returned);
    }
}

TEST(MessagingQueue, ShutdownTwiceIsHarmless) {
    auto queue = std::make_shared<MessagingQueue>();
    queue->shutdown();
    queue->shutdown();
    bool returned = false;
    EXPECT_EQ(pop_within(queue, returned), std::nullopt);
    EXPECT_TRUE(returned);
}

TEST(MessagingQueue, PopAllTakesEveryQueuedMessageInOrder) {
    auto queue = std::make_shared<MessagingQueue>();
    for (int n = 0; n < 5; ++n) queue->push(response(n));
    auto taken = std::make_shared<std::deque<json>>();
    ASSERT_TRUE(finishes_within([queue, taken] { *taken = messages_of(queue->wait_and_pop_all()); },
                                WAIT_LIMIT));
    ASSERT_EQ(taken->size(), 5u);
    for (int n = 0; n < 5; ++n) EXPECT_EQ((*taken)[static_cast<std::size_t>(n)], response(n));

    // Nothing is left behind: after shutdown the next call is empty at once.
    queue->shutdown();
    ASSERT_TRUE(finishes_within([queue, taken] { *taken = messages_of(queue->wait_and_pop_all()); },
                                WAIT_LIMIT));
    EXPECT_TRUE(taken->empty());
}

// Answers accepted before the shutdown are all still written; nothing after it is.
TEST(MessagingQueue, ShutdownKeepsWhatWasQueuedAndDropsWhatComesLater) {
    auto queue = std::make_shared<MessagingQueue>();
    queue->push(response(1));
    queue->push(response(2));
    queue->shutdown();
    queue->push(response(3));
    auto taken = std::make_shared<std::deque<json>>();
    const auto pop_all = [&] {
        return finishes_within([queue, taken] { *taken = messages_of(queue->wait_and_pop_all()); },
                               WAIT_LIMIT);
    };
    ASSERT_TRUE(pop_all());
    EXPECT_EQ(*taken, (std::deque<json>{response(1), response(2)}));
    ASSERT_TRUE(pop_all());
    EXPECT_TRUE(taken->empty());
}

// A request's share of the budget comes back once its answer has left the queue,
// and the host learns when everything it queued has been written.
// Once the threads that finish answers write them, one writer at a time takes the
// queue, and whatever is queued while it writes is still taken in order.
TEST(MessagingQueueTakingTurns, OneWriterAtATimeAndNothingSkipped) {
    auto queue = std::make_shared<MessagingQueue>();
    queue->set_writers_take_turns(true);
    queue->push(response(1));
    auto first = queue->take_unless_writing();
    EXPECT_EQ(messages_of(std::move(first)), std::deque<json>{response(1)});
    queue->push(response(2));
    EXPECT_TRUE(queue->take_unless_writing().empty()) << "another writer is at work";
    queue->batch_written();
    EXPECT_EQ(messages_of(queue->take_unless_writing()), std::deque<json>{response(2)});
    queue->batch_written();
    EXPECT_TRUE(queue->take_unless_writing().empty());
}

// A push does not wake the sender; a batch handed back does, and it leaves before
// what was queued after it.
TEST(MessagingQueueTakingTurns, OnlyAHandedBackBatchWakesTheSender) {
    auto queue = std::make_shared<MessagingQueue>();
    queue->set_writers_take_turns(true);
    queue->push(response(1));
    auto taken = std::make_shared<std::deque<json>>();
    auto sender = std::async(std::launch::async,
                             [queue, taken] { *taken = messages_of(queue->wait_and_pop_all()); });
    EXPECT_EQ(sender.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << "a push woke the sender";
    auto batch = queue->take_unless_writing();
    queue->push(response(2));
    queue->hand_back(std::move(batch));
    ASSERT_EQ(sender.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(*taken, (std::deque<json>{response(1), response(2)}));
    EXPECT_TRUE(queue->take_unless_writing().empty()) << "the sender is writing";
    queue->batch_written();
    queue->shutdown();
}

// The request counts as answered once its answer is queued; the frame's bytes stay
// in the budget and in the queue's count until written.
TEST(MessagingQueue, AnAnswerWeighsItsFrameUntilWritten) {
    RequestBudget budget;
    auto queue = std::make_shared<MessagingQueue>();
    const std::string frame = framing::encode_frame(response(1).dump());
    queue->push(response(1), budget.try_take(100000));
    EXPECT_EQ(budget.requests(), 0u);
    EXPECT_EQ(budget.bytes(), frame.size());
    EXPECT_EQ(queue->unwritten_bytes(), frame.size());
    const auto soon = [] {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    };
    EXPECT_FALSE(queue->wait_until_written(soon()));
    {
        auto batch = queue->wait_and_pop_all();
        ASSERT_EQ(batch.size(), 1u);
        EXPECT_EQ(batch.front().frame, frame);
        EXPECT_FALSE(queue->wait_until_written(soon())) << "a batch being written is not written";
        queue->sent(batch.front().frame.size());
    }
    EXPECT_EQ(budget.bytes(), 0u);
    EXPECT_EQ(queue->unwritten_bytes(), 0u);
    queue->batch_written();
    EXPECT_TRUE(queue->wait_until_written(soon()));
}

// Past the bound the reader is told once half of what waits has left.
TEST(MessagingQueue, TellsWhenWhatWaitsToBeWrittenFallsToHalfTheBound) {
    auto queue = std::make_shared<MessagingQueue>();
    int notices = 0;
    queue->set_on_room([&] { ++notices; });
    const std::string big(300000, 'b');
    const json answer = {{"requestId", "big"}, {"result", big}};
    std::size_t pushed = 0;
    while (queue->unwritten_bytes() <= MessagingQueue::MAX_UNWRITTEN_BYTES) {
        queue->push(answer);
        ++pushed;
    }
    EXPECT_TRUE(queue->over_unwritten_bound());
    auto batch = queue->wait_and_pop_all();
    ASSERT_EQ(batch.size(), pushed);
    const std::size_t frame = batch.front().frame.size();
    std::size_t left = pushed * frame;
    while (left - frame > MessagingQueue::MAX_UNWRITTEN_BYTES / 2) {
        queue->sent(frame);
        left -= frame;
        EXPECT_EQ(notices, 0) << left << " bytes still wait";
    }
    queue->sent(frame);
    EXPECT_EQ(notices, 1);
    EXPECT_FALSE(queue->over_unwritten_bound());
    queue->batch_written();
}

TEST(MessagingQueue, PushWakesAWaitingConsumer) {
    auto queue = std::make_shared<MessagingQueue>();
    auto result = std::make_shared<std::optional<json>>();
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([queue, result, started, done] {
        started->store(true);
        *result = queue->wait_and_pop();
        done->set_value();
    }).detach();
    while (!started->load()) std::this_thread::yield();
    queue->push(response(7));
    ASSERT_EQ(finished.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(*result, std::optional<json>(response(7)));
}

struct RaceCase {
    const char* name;
    bool pop_all;
};

class ShutdownRace : public ::testing::TestWithParam<RaceCase> {};

// A consumer that has just found the queue empty and open is about to wait when
// shutdown comes: it must still be woken. Many rounds, each racing differently.
TEST_P(ShutdownRace, EveryWaitingConsumerEnds) {
    constexpr int ROUNDS = 1000;
    for (int round = 0; round < ROUNDS; ++round) {
        auto queue = std::make_shared<MessagingQueue>();
        auto got_message = std::make_shared<std::atomic<bool>>(false);
        const bool pop_all = GetParam().pop_all;
        auto started = std::make_shared<std::atomic<bool>>(false);
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        std::thread([queue, got_message, pop_all, started, done] {
            started->store(true);
            if (pop_all) {
                got_message->store(!queue->wait_and_pop_all().empty());
            } else {
                got_message->store(queue->wait_and_pop().has_value());
            }
            done->set_value();
        }).detach();
        // Vary where the shutdown lands relative to the consumer's wait.
        if (round % 3 != 0) {
            while (!started->load()) std::this_thread::yield();
        }
        for (int spin = 0; spin < round % 7; ++spin) std::this_thread::yield();
        queue->shutdown();
        ASSERT_EQ(finished.wait_for(WAIT_LIMIT), std::future_status::ready)
            << "consumer still waiting after shutdown in round " << round;
        EXPECT_FALSE(got_message->load());
    }
}

INSTANTIATE_TEST_SUITE_P(Consumers, ShutdownRace,
                         ::testing::Values(RaceCase{"WaitAndPop", false},
                                           RaceCase{"WaitAndPopAll", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MessagingQueue, ManyProducersOneConsumerLosesNothing) {
    constexpr int PRODUCERS = 4;
    constexpr int EACH = 500;
    auto queue = std::make_shared<MessagingQueue>();
    std::vector<std::thread> producers;
    for (int p = 0; p < PRODUCERS; ++p) {
        producers.emplace_back([queue, p] {
            for (int i = 0; i < EACH; ++i) queue->push(json{{"p", p}, {"i", i}});
        });
    }
    auto next = std::make_shared<std::vector<int>>(PRODUCERS, 0);
    auto out_of_order = std::make_shared<std::atomic<int>>(0);
    const bool drained = finishes_within(
        [queue, next, out_of_order] {
            for (int received = 0; received < PRODUCERS * EACH;) {
                for (const json& message : messages_of(queue->wait_and_pop_all())) {
                    const int p = message["p"].get<int>();
                    if (message["i"].get<int>() != (*next)[static_cast<std::size_t>(p)]++) {
                        out_of_order->fetch_add(1);
                    }
                    ++received;
                }
            }
        },
        WAIT_LIMIT);
    for (std::thread& producer : producers) producer.join();
    ASSERT_TRUE(drained) << "not every message arrived";
    EXPECT_EQ(out_of_order->load(), 0);
    for (int p = 0; p < PRODUCERS; ++p) EXPECT_EQ((*next)[static_cast<std::size_t>(p)], EACH);
}

TEST(MessagingQueue, InstanceIsOneQueueForAllThreads) {
    MessagingQueue* seen_elsewhere = nullptr;
    std::thread([&] { seen_elsewhere = &MessagingQueue::instance(); }).join();
    EXPECT_EQ(&MessagingQueue::instance(), seen_elsewhere);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
