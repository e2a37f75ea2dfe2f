// What the host may hold for the extension before it stops reading.

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

// An answer keeps the request counted until written; the request's own weight
// goes once the parsed request is gone.
TEST(RequestBudget, TheAnswerTakesTheCountAndThePartOfTheWeightItNeeds) {
    RequestBudget budget;
    auto request = budget.try_take(1000);
    auto answer = request.split_off(300);
    EXPECT_EQ(budget.requests(), 1u);
    EXPECT_EQ(budget.bytes(), 1000u);
    request = {};
    EXPECT_EQ(budget.requests(), 1u);
    EXPECT_EQ(budget.bytes(), 300u);
    auto bigger = answer.split_off(5000);  // an answer heavier than its request
    EXPECT_EQ(budget.bytes(), 5000u);
    answer = {};
    bigger = {};
    EXPECT_EQ(budget.requests(), 0u);
    EXPECT_EQ(budget.bytes(), 0u);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
