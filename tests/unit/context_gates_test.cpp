// The per-context gates in front of the PC/SC library: calls on one context (or on
// its cards) take turns, other contexts and unknown handles pass, closing a
// context forgets its cards, and a cancel ends the waits queued on its context.

#include "scard/context_gates.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "test_support.h"

namespace Vorn_SCard_Bridge::pcsc {
namespace {

using namespace std::chrono_literals;
using vorn_test::WAIT_LIMIT;

constexpr std::int32_t CONTEXT = 0x1234;
constexpr std::int32_t OTHER_CONTEXT = 0x5678;
constexpr std::int32_t CARD = 0x4321;

// Enters through `enter` on another thread; the future is ready once it got in (and out).
template <typename Enter>
std::future<void> enter_later(Enter enter) {
    return std::async(std::launch::async, [enter] { const auto pass = enter(); });
}

// True once a wait is queued at the context's gate; false after WAIT_LIMIT. The
// caller goes on either way, so that it still opens the gate it holds.
bool queued_up(const ContextGates& gates, std::int32_t context) {
    const auto until = std::chrono::steady_clock::now() + WAIT_LIMIT;
    while (gates.queued_waits(context) == 0) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(ContextGates, UnknownHandlesPassWithoutAGate) {
    ContextGates gates;
    EXPECT_FALSE(gates.enter_context(CONTEXT).holds_gate());
    EXPECT_FALSE(gates.enter_card(CARD).holds_gate());
    gates.add_card(CARD, CONTEXT);  // a card of a context that was never opened
    EXPECT_FALSE(gates.enter_card(CARD).holds_gate());
}

TEST(ContextGates, ACallOnABusyContextWaitsAndOthersPass) {
    ContextGates gates;
    gates.open_context(CONTEXT);
    gates.open_context(OTHER_CONTEXT);
    gates.add_card(CARD, CONTEXT);

    auto busy = std::make_unique<ContextGates::Pass>(gates.enter_context(CONTEXT));
    ASSERT_TRUE(busy->holds_gate());

    auto same_context = enter_later([&] { return gates.enter_context(CONTEXT); });
    auto same_card = enter_later([&] { return gates.enter_card(CARD); });
    auto other = enter_later([&] { return gates.enter_context(OTHER_CONTEXT); });

    EXPECT_EQ(other.wait_for(WAIT_LIMIT), std::future_status::ready) << "other context blocked";
    EXPECT_EQ(same_context.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(same_card.wait_for(0ms), std::future_status::timeout);

    busy.reset();
    EXPECT_EQ(same_context.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(same_card.wait_for(WAIT_LIMIT), std::future_status::ready);
}

TEST(ContextGates, ClosingAContextForgetsItAndItsCardsButNotOthers) {
    ContextGates gates;
    gates.open_context(CONTEXT);
    gates.open_context(OTHER_CONTEXT);
    gates.add_card(CARD, CONTEXT);
    gates.add_card(CARD + 1, OTHER_CONTEXT);

    gates.close_context(CONTEXT);
    EXPECT_FALSE(gates.enter_context(CONTEXT).holds_gate());
    EXPECT_FALSE(gates.enter_card(CARD).holds_gate());
    EXPECT_TRUE(gates.enter_card(CARD + 1).holds_gate());
    EXPECT_EQ(gates.context_count(), 1u);
    EXPECT_EQ(gates.card_count(), 1u);

    gates.remove_card(CARD + 1);
    EXPECT_FALSE(gates.enter_card(CARD + 1).holds_gate());
    EXPECT_EQ(gates.card_count(), 0u);
}

// A call queued at a gate while its context is closed still gets its turn (and the
// service then refuses the released handle); nothing is left locked or freed early.
TEST(ContextGates, ACallQueuedWhileItsContextClosesStillGetsItsTurn) {
    ContextGates gates;
    gates.open_context(CONTEXT);
    auto busy = std::make_unique<ContextGates::Pass>(gates.enter_context(CONTEXT));

    std::atomic<bool> held{false};
    auto queued = std::async(std::launch::async, [&] {
        const auto pass = gates.enter_wait(CONTEXT);
        held = pass.holds_gate();
    });
    EXPECT_TRUE(queued_up(gates, CONTEXT));
    gates.close_context(CONTEXT);
    busy.reset();
    ASSERT_EQ(queued.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_TRUE(held);

    gates.open_context(CONTEXT);  // the service may hand the same value out again
    EXPECT_TRUE(gates.enter_context(CONTEXT).holds_gate());
}

// A cancel reaches the waits queued behind the running one, not those that come
// after it, nor waits of other contexts.
TEST(ContextGates, ACancelEndsTheWaitsQueuedBeforeIt) {
    ContextGates gates;
    gates.open_context(CONTEXT);
    gates.open_context(OTHER_CONTEXT);
    EXPECT_FALSE(gates.enter_wait(CONTEXT).cancelled_while_queued());

    auto running = std::make_unique<ContextGates::Pass>(gates.enter_wait(CONTEXT));
    auto queued = std::async(std::launch::async,
                             [&] { return gates.enter_wait(CONTEXT).cancelled_while_queued(); });
    EXPECT_TRUE(queued_up(gates, CONTEXT));
    gates.note_cancel(CONTEXT);
    gates.note_cancel(OTHER_CONTEXT);
    auto later = std::async(std::launch::async,
                            [&] { return gates.enter_wait(CONTEXT).cancelled_while_queued(); });
    running.reset();
    ASSERT_EQ(queued.wait_for(WAIT_LIMIT), std::future_status::ready);
    ASSERT_EQ(later.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_TRUE(queued.get());
    EXPECT_FALSE(later.get());
    EXPECT_FALSE(gates.enter_wait(OTHER_CONTEXT).cancelled_while_queued());
    EXPECT_FALSE(gates.enter_wait(CONTEXT + 99).holds_gate());
    gates.note_cancel(CONTEXT + 99);  // unknown: nothing to note
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::pcsc
