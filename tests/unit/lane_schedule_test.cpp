// The rules of the session's lanes, event by event: which request runs next, which
// waits a cancel ends (and which it must never end), what the end of the session
// answers. No threads and no clock: each case is a sequence of events with what the
// schedule must decide at each step.

#include "host/lane_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Vorn_SCard_Bridge {
namespace {

using Id = LaneSchedule::Id;
using Entry = LaneSchedule::Entry;
constexpr LaneSchedule::Lane A = 0x5A000001;
constexpr LaneSchedule::Lane B = 0x5A000002;
constexpr LaneSchedule::Lane NONE = LaneSchedule::NO_LANE;

enum class Op { CALL, WAIT, TAKE, ENTER, LEAVE, FINISH, CANCEL, SENDING, SENT, DUE, SHUT_DOWN };

// One event, and what the schedule answers to it:
//   CALL/WAIT id lane: submitted; expect {0} when it must be refused
//   TAKE: the id a worker gets ({} for none)
//   ENTER id: {ENTER}, {HOLD} or {CANCELLED}
//   CANCEL id lane: the waits answered "cancelled" at once
//   DUE: the lanes whose wait must be cancelled in the service
//   SHUT_DOWN: the requests answered "not started"
struct Step {
    Op op;
    Id id = 0;
    LaneSchedule::Lane lane = NONE;
    std::vector<std::uint64_t> expect = {};
};

struct Case {
    std::string name;
    std::vector<Step> steps;
};

constexpr std::uint64_t ENTERS = static_cast<std::uint64_t>(Entry::ENTER);
constexpr std::uint64_t HOLDS = static_cast<std::uint64_t>(Entry::HOLD);
constexpr std::uint64_t ENDED = static_cast<std::uint64_t>(Entry::CANCELLED);

class LaneScheduleRules : public ::testing::TestWithParam<Case> {};

TEST_P(LaneScheduleRules, DecidesAsTheRulesSay) {
    LaneSchedule schedule;
    const Case& c = GetParam();
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const Step& step = c.steps[i];
        SCOPED_TRACE("step " + std::to_string(i + 1));
        std::vector<std::uint64_t> got;
        bool checked = true;
        switch (step.op) {
            case Op::CALL:
            case Op::WAIT: {
                const bool accepted = schedule.submit(
                    step.id, step.lane,
                    step.op == Op::WAIT ? LaneSchedule::Kind::WAIT : LaneSchedule::Kind::CALL);
                got = {accepted ? 1u : 0u};
                checked = !step.expect.empty();
                break;
            }
            case Op::TAKE: {
                const auto id = schedule.take_ready();
                if (id) got = {*id};
                break;
            }
            case Op::ENTER:
                got = {static_cast<std::uint64_t>(schedule.enter_wait(step.id))};
                break;
            case Op::LEAVE:
                schedule.left_wait(step.id);
                checked = false;
                break;
            case Op::FINISH:
                schedule.finished(step.id);
                checked = false;
                break;
            case Op::CANCEL:
                for (const Id id : schedule.cancel(step.id, step.lane)) got.push_back(id);
                break;
            case Op::SENDING:
                schedule.cancel_sending(step.lane);
                checked = false;
                break;
            case Op::SENT:
                schedule.cancel_sent(step.lane);
                checked = false;
                break;
            case Op::DUE:
                for (const auto lane : schedule.due_cancels()) {
                    got.push_back(static_cast<std::uint64_t>(lane));
                }
                break;
            case Op::SHUT_DOWN:
                for (const Id id : schedule.shut_down()) got.push_back(id);
                break;
        }
        if (checked) {
            EXPECT_EQ(got, step.expect);
        }
    }
}

const Case CASES[] = {
    {"CallsOnOneContextRunOneAtATimeInArrivalOrder",
     {{Op::CALL, 1, A},
      {Op::CALL, 2, A},
      {Op::CALL, 3, B},
      {Op::CALL, 4, NONE},
      {Op::TAKE, 0, NONE, {1}},
      {Op::TAKE, 0, NONE, {3}},
      {Op::TAKE, 0, NONE, {4}},
      {Op::TAKE},
      {Op::FINISH, 1},
      {Op::TAKE, 0, NONE, {2}}}},
    {"CancelAnswersAWaitQueuedBehindABlockedCallAtOnce",
     {{Op::CALL, 1, A},
      {Op::TAKE, 0, NONE, {1}},
      {Op::WAIT, 2, A},
      {Op::CALL, 3, A},
      {Op::WAIT, 4, A},
      {Op::CANCEL, 5, A, {2, 4}},
      {Op::SENT, 0, A},
      {Op::FINISH, 1},
      {Op::TAKE, 0, NONE, {3}},
      {Op::TAKE}}},
    {"AWaitSentRightAfterACancelOfAnIdleContextWaitsForThatCancel",
     {{Op::CANCEL, 1, A, {}},
      {Op::WAIT, 2, A},
      {Op::TAKE, 0, NONE, {2}},
      {Op::ENTER, 2, NONE, {HOLDS}},
      {Op::SENT, 0, A},
      {Op::ENTER, 2, NONE, {ENTERS}},
      {Op::DUE, 0, NONE, {}}}},
    {"AWaitSentAfterACancelIsNeverEndedByIt",
     {{Op::WAIT, 1, A},
      {Op::TAKE, 0, NONE, {1}},
      {Op::ENTER, 1, NONE, {ENTERS}},
      {Op::CANCEL, 2, A, {}},
      {Op::WAIT, 3, A},
      {Op::LEAVE, 1},
      {Op::FINISH, 1},
      {Op::TAKE, 0, NONE, {3}},
      {Op::ENTER, 3, NONE, {HOLDS}},
      {Op::SENT, 0, A},
      {Op::ENTER, 3, NONE, {ENTERS}},
      {Op::DUE, 0, NONE, {}}}},
    {"AWaitHandedToAWorkerBeforeTheCancelDoesNotEnter",
     {{Op::WAIT, 1, A},
      {Op::TAKE, 0, NONE, {1}},
      {Op::CANCEL, 2, A, {}},
      {Op::ENTER, 1, NONE, {ENDED}}}},
    {"AWaitInsideIsCancelledAgainUntilItLeaves",
     {{Op::WAIT, 1, A},
      {Op::TAKE, 0, NONE, {1}},
      {Op::ENTER, 1, NONE, {ENTERS}},
      {Op::CANCEL, 2, A, {}},
      {Op::DUE, 0, NONE, {}},
      {Op::SENT, 0, A},
      {Op::DUE, 0, NONE, {A}},
      {Op::SENDING, 0, A},
      {Op::DUE, 0, NONE, {}},
      {Op::SENT, 0, A},
      {Op::DUE, 0, NONE, {A}},
      {Op::LEAVE, 1},
      {Op::DUE, 0, NONE, {}}}},
    {"ACancelOfOneContextLeavesTheOthersAlone",
     {{Op::WAIT, 1, A},
      {Op::WAIT, 2, B},
      {Op::TAKE, 0, NONE, {1}},
      {Op::TAKE, 0, NONE, {2}},
      {Op::ENTER, 1, NONE, {ENTERS}},
      {Op::ENTER, 2, NONE, {ENTERS}},
      {Op::CANCEL, 3, B, {}},
      {Op::SENT, 0, B},
      {Op::DUE, 0, NONE, {B}}}},
    {"ShutdownAnswersEveryRequestNotStartedOnAnyContext",
     // 1 releases context A; 2 and 3 were queued behind it.
     {{Op::CALL, 1, A},
      {Op::TAKE, 0, NONE, {1}},
      {Op::CALL, 2, A},
      {Op::CALL, 3, A},
      {Op::CALL, 4, NONE},
      {Op::CALL, 5, NONE},
      {Op::TAKE, 0, NONE, {4}},
      {Op::SHUT_DOWN, 0, NONE, {2, 3, 5}},
      {Op::FINISH, 1},
      {Op::TAKE},
      {Op::CALL, 6, NONE, {0}}}},
    {"ShutdownEndsTheWaitsInsideAndKeepsTheOthersOut",
     {{Op::WAIT, 1, A},
      {Op::WAIT, 2, B},
      {Op::TAKE, 0, NONE, {1}},
      {Op::TAKE, 0, NONE, {2}},
      {Op::ENTER, 1, NONE, {ENTERS}},
      {Op::SHUT_DOWN, 0, NONE, {}},
      {Op::DUE, 0, NONE, {A}},
      {Op::ENTER, 2, NONE, {ENDED}}}},
};

INSTANTIATE_TEST_SUITE_P(Lanes, LaneScheduleRules, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace Vorn_SCard_Bridge
