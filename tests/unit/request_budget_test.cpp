// What the host may hold for the extension before it refuses new requests.

#include "messaging/request_budget.h"

#include <gtest/gtest.h>

#include <vector>

namespace Vorn_SCard_Bridge {
namespace {

TEST(RequestBudget, StopsAtTheRequestCountAndTellsWhenRoomComesBack) {
    int notices = 0;
    RequestBudget budget([&] { ++notices; });
    std::vector<RequestBudget::Token> held;
    for (std::size_t i = 0; i < RequestBudget::MAX_REQUESTS; ++i)
        held.push_back(budget.try_take(10));
    EXPECT_FALSE(budget.try_take(10).holds());
    EXPECT_EQ(notices, 0);
    held.pop_back();
    EXPECT_EQ(notices, 1) << "the reader waiting for room is told";
    EXPECT_TRUE(budget.try_take(10).holds());
}

TEST(RequestBudget, AHeavyRequestWaitsUntilLittleIsHeldThenComesAlone) {
    RequestBudget budget;
    const std::size_t heavy = RequestBudget::reservation_for_frame(1048576);
    ASSERT_GE(heavy, RequestBudget::MAX_BYTES);
    auto medium = budget.try_take(RequestBudget::HEAVY_REQUEST_SLACK + 1);
    EXPECT_FALSE(budget.try_take(heavy).holds());
    medium = {};
    // A few small requests held for ever (endless waits) do not keep it out.
    auto small = budget.try_take(1000);
    auto first = budget.try_take(heavy);
    EXPECT_TRUE(first.holds());
    EXPECT_FALSE(budget.try_take(heavy).holds()) << "two heavy requests at once";
}

// An answer takes the count and the part of the weight it needs; once queued the
// request counts as answered and weighs what its frame holds until written; the
// request's own weight goes once the parsed request is gone.
TEST(RequestBudget, AnAnsweredRequestWeighsItsAnswerAlone) {
    RequestBudget budget;
    auto request = budget.try_take(1000);
    auto answer = request.split_off(300);
    EXPECT_EQ(budget.requests(), 1u);
    EXPECT_EQ(budget.bytes(), 1000u);
    request = {};
    EXPECT_EQ(budget.requests(), 1u);
    EXPECT_EQ(budget.bytes(), 300u);
    answer.answered(5000);  // a frame heavier than its request
    EXPECT_EQ(budget.requests(), 0u);
    EXPECT_EQ(budget.bytes(), 5000u);
    answer.answered(40);
    EXPECT_EQ(budget.bytes(), 40u);
    answer = {};
    EXPECT_EQ(budget.requests(), 0u);
    EXPECT_EQ(budget.bytes(), 0u);
}

// The prompt requests' reserve has limits of its own, and tells when room comes back.
TEST(RequestBudget, ThePromptReserveIsSmallAndTellsWhenRoomComesBack) {
    int notices = 0;
    RequestBudget prompt([&] { ++notices; }, RequestBudget::PROMPT);
    std::vector<RequestBudget::Token> held;
    for (std::size_t i = 0; i < RequestBudget::PROMPT.requests; ++i)
        held.push_back(prompt.try_take(10));
    EXPECT_FALSE(prompt.try_take(10).holds());
    held.pop_back();
    EXPECT_EQ(notices, 1);
    held.clear();
    EXPECT_TRUE(
        prompt.try_take(RequestBudget::reservation_for_frame(RequestBudget::MAX_PROMPT_FRAME))
            .holds());
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
