// Where a request runs, decided from the registry when it is read: an id the session
// has not handed out (yet, or any more) has no turn and no handle, and a request read
// with a held id keeps that id's handle and lane, whatever happens before it runs.

#include "host/request_route.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "processing/command_table.h"

namespace Vorn_SCard_Bridge {
namespace {

constexpr std::uint32_t FIRST = 0x40000000;
constexpr auto N = static_cast<std::int32_t>(FIRST);

std::int32_t open(HandleRegistry& registry, HandleKind kind, pcsc::Handle handle,
                  std::int32_t context = 0) {
    EXPECT_TRUE(registry.reserve(kind));
    return registry.add(kind, handle, context);
}

RequestRoute on_context(const HandleRegistry& registry, CommandLane lane, std::int32_t id) {
    return route_request(registry, lane, id, std::nullopt);
}

// The sequence that once wedged a session: waits on the next id (guessed, not yet
// handed out), then that id handed out, then calls on it. The waits are answered at
// once, outside every lane; the calls on the id once it exists run in its lane, in turn.
TEST(RequestRoute, AGuessedIdHasNoTurnUntilItIsHandedOut) {
    HandleRegistry registry(FIRST);
    LaneSchedule schedule;
    ASSERT_EQ(open(registry, HandleKind::CONTEXT, 0xA0), N);

    const RequestRoute guessed_wait = on_context(registry, CommandLane::CONTEXT, N + 1);
    EXPECT_TRUE(guessed_wait.at_once);
    EXPECT_EQ(guessed_wait.lane, LaneSchedule::NO_LANE);
    EXPECT_FALSE(guessed_wait.handle(registry, HandleKind::CONTEXT, N + 1));

    for (int i = 1; i <= 3; ++i) ASSERT_EQ(open(registry, HandleKind::CONTEXT, 0xA0 + i), N + i);
    // The wait read before N + 1 existed still names nothing.
    EXPECT_FALSE(guessed_wait.handle(registry, HandleKind::CONTEXT, N + 1));

    const RequestRoute list = on_context(registry, CommandLane::CONTEXT, N + 1);
    const RequestRoute cancel = on_context(registry, CommandLane::CONTROL, N + 1);
    const RequestRoute other = on_context(registry, CommandLane::CONTEXT, N + 2);
    EXPECT_FALSE(list.at_once);
    EXPECT_EQ(list.lane, N + 1);
    EXPECT_EQ(cancel.lane, N + 1);
    EXPECT_EQ(list.handle(registry, HandleKind::CONTEXT, N + 1), pcsc::Handle{0xA1});

    // Nothing of the guessed waits is in the schedule: both calls run at once.
    ASSERT_TRUE(schedule.submit(1, list.lane, LaneSchedule::Kind::CALL));
    ASSERT_TRUE(schedule.submit(2, other.lane, LaneSchedule::Kind::CALL));
    EXPECT_EQ(schedule.take_ready(), LaneSchedule::Id{1});
    EXPECT_EQ(schedule.take_ready(), LaneSchedule::Id{2});
    EXPECT_TRUE(schedule.cancel(3, cancel.lane).empty());
}

TEST(RequestRoute, ARequestReadWithAnIdKeepsItsHandleOnlyWhileTheIdIsHeld) {
    HandleRegistry registry(FIRST);
    const std::int32_t context = open(registry, HandleKind::CONTEXT, 0xC0);
    const std::int32_t card = open(registry, HandleKind::CARD, 0xCA, context);

    const RequestRoute transmit = route_request(registry, CommandLane::CARD, context, card);
    EXPECT_EQ(transmit.lane, context);
    EXPECT_EQ(transmit.handle(registry, HandleKind::CARD, card), pcsc::Handle{0xCA});
    EXPECT_EQ(transmit.handle(registry, HandleKind::CONTEXT, context), pcsc::Handle{0xC0});
    // An id it was not read with is not looked up for it.
    const std::int32_t later = open(registry, HandleKind::CARD, 0xCB, context);
    EXPECT_FALSE(transmit.handle(registry, HandleKind::CARD, later));

    // Released before the request's turn came: refused, not sent on.
    registry.remove(HandleKind::CONTEXT, context);
    EXPECT_FALSE(transmit.handle(registry, HandleKind::CARD, card));
    EXPECT_FALSE(transmit.handle(registry, HandleKind::CONTEXT, context));
    // Read after that: answered at once.
    EXPECT_TRUE(route_request(registry, CommandLane::CARD, context, card).at_once);
    EXPECT_TRUE(on_context(registry, CommandLane::CONTEXT, context).at_once);
}

TEST(RequestRoute, RequestsOfNoContextNeverWaitForOne) {
    HandleRegistry registry(FIRST);
    const std::int32_t context = open(registry, HandleKind::CONTEXT, 0xC0);
    for (const CommandLane lane : {CommandLane::ANY, CommandLane::AT_ONCE}) {
        const RequestRoute route = on_context(registry, lane, context);
        EXPECT_FALSE(route.at_once);
        EXPECT_EQ(route.lane, LaneSchedule::NO_LANE);
    }
    // A cancel of an id not held is the control thread's to refuse; it ends no wait.
    EXPECT_EQ(on_context(registry, CommandLane::CONTROL, context + 7).lane, LaneSchedule::NO_LANE);
    EXPECT_TRUE(route_request(registry, CommandLane::CONTEXT, std::nullopt, std::nullopt).at_once);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
