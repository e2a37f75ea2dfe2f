// Status-change waits as a page leaves them: endless, many on one context, and
// cancelled in the same breath as they were sent. Calls queued on a busy context
// hold up nobody else, control requests and cancel are answered at once, a
// cancel ends every wait of its context that came before it, and the calls
// queued behind a wait run after it.

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <set>
#include <string>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "host_answers.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

constexpr const char* SELECT = "00A4040007A0000002471001";

json endless_wait(const std::string& id, const std::string& context, std::uint32_t known) {
    return request(id, "get_status_change", {context, INFINITE, 1, known, 0, VPCD_READER_1});
}

// What queues behind an endless wait on one context, and how each answers once
// the wait is cancelled.
struct QueuedCalls {
    std::string name;
    std::string command;
    json params_after_context;
    Answer expected;
};

void PrintTo(const QueuedCalls& calls, std::ostream* out) { *out << calls.name; }

class FaultWedge : public PcscTestBed, public ::testing::WithParamInterface<QueuedCalls> {};

TEST_P(FaultWedge, HealthcheckCancelAndReleaseAnswerAtOnceBehindSixtyThreeQueuedCalls) {
    const QueuedCalls& queued = GetParam();
    HostProcess host;
    const std::string context = establish_context(host);
    ASSERT_FALSE(context.empty());
    std::string batch = frame_of(endless_pnp_wait("endless", context));
    for (int i = 0; i < 63; ++i) {
        json params = json::array({context});
        params.insert(params.end(), queued.params_after_context.begin(),
                      queued.params_after_context.end());
        if (params.size() > 5 && params[5] == PNP_NOTIFICATION) params[3] = pnp_known_state();
        batch += frame_of(request("queued" + std::to_string(i), queued.command, params));
    }
    host.send_raw(batch);

    ASSERT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"}));
    ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
    EXPECT_EQ(answer_of(host.response_for("endless", PROMPT)), WAIT_CANCELLED);
    for (int i = 0; i < 63; ++i) {
        const json answer = host.response_for("queued" + std::to_string(i), PROMPT);
        ASSERT_FALSE(answer.is_null()) << "queued call " << i << " never answered";
        if (queued.expected.status == "success") {
            EXPECT_EQ(answer_of(answer).status, "success") << answer.dump();
        } else {
            EXPECT_EQ(answer_of(answer), queued.expected) << "queued call " << i;
        }
    }
    EXPECT_EQ(ask(host, "release_context", json::array({context}), PROMPT),
              success({"0x00000000"}));
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
    EXPECT_FALSE(has_crash_report(host.stderr_text()));
}

INSTANTIATE_TEST_SUITE_P(OnePnpContext, FaultWedge,
                         ::testing::Values(QueuedCalls{"SixtyFourEndlessWaits", "get_status_change",
                                                       json::array({INFINITE, 1, 0, 0,
                                                                    PNP_NOTIFICATION}),
                                                       WAIT_CANCELLED},
                                           QueuedCalls{"AnEndlessWaitAndSixtyThreeReaderLists",
                                                       "list_readers", json::array(), success({})}),
                         [](const auto& info) { return info.param.name; });

// A wait and the cancel of its context in one write: the cancel may reach the
// host's pipeline while the wait is still on its way into the service. It must
// end the wait all the same.
class FaultCancel : public PcscTestBed {
protected:
    // Sends the wait and its cancel together; the wait's answer, or null when
    // it is still pending after `bound`.
    static json wait_cancelled_at_once(HostProcess& host, const std::string& context,
                                       std::uint32_t timeout, int trial,
                                       std::chrono::milliseconds bound) {
        const std::string wait = "wait" + std::to_string(trial);
        const std::string cancel = "cancel" + std::to_string(trial);
        host.send_raw(
            frame_of(request(wait, "get_status_change",
                             {context, timeout, 1, pnp_known_state(), 0, PNP_NOTIFICATION})) +
            frame_of(request(cancel, "cancel", {context})));
        EXPECT_EQ(answer_of(host.response_for(cancel, PROMPT)), success({"0x00000000"}));
        return host.response_for(wait, bound);
    }
};

TEST_F(FaultCancel, AThreeSecondWaitSentWithItsCancelEndsCancelledEveryTime) {
    HostProcess host;
    const std::string context = establish_context(host);
    for (int trial = 0; trial < 30; ++trial) {
        // Ended by its time-out it would answer 0x8010000A instead.
        ASSERT_EQ(answer_of(wait_cancelled_at_once(host, context, 3000, trial, 10s)),
                  WAIT_CANCELLED)
            << "trial " << trial;
    }
}

TEST_F(FaultCancel, AnEndlessWaitSentWithItsCancelNeverStaysPending) {
    HostProcess host;
    const std::string context = establish_context(host);
    for (int trial = 0; trial < 40; ++trial) {
        const json answer = wait_cancelled_at_once(host, context, INFINITE, trial, PROMPT);
        ASSERT_FALSE(answer.is_null()) << "trial " << trial << ": the wait stayed pending";
        EXPECT_EQ(answer_of(answer), WAIT_CANCELLED) << "trial " << trial;
    }
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

class FaultWaits : public PcscTestBed {
protected:
    std::vector<std::string> establish(HostProcess& host, int count) {
        std::vector<std::string> contexts;
        for (int i = 0; i < count; ++i) {
            contexts.push_back(establish_context(host));
            EXPECT_FALSE(contexts.back().empty());
        }
        return contexts;
    }
};

TEST_F(FaultWaits, OneCancelEndsTheEndlessWaitOfEachContext) {
    HostProcess host;
    const std::vector<std::string> contexts = establish(host, 8);
    const std::uint32_t empty = known_state(host, contexts[0], VPCD_READER_1);
    std::set<std::string> pending;
    for (std::size_t i = 0; i < contexts.size(); ++i) {
        const std::string id = "wait" + std::to_string(i);
        pending.insert(id);
        host.send(endless_wait(id, contexts[i], empty));
    }
    EXPECT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"}));

    for (const std::string& context : contexts) {
        ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
    }
    while (!pending.empty()) {
        const auto text = host.receive_text(PROMPT);
        ASSERT_TRUE(text.has_value()) << pending.size() << " waits outlived their cancel";
        const json response = json::parse(*text, nullptr, false);
        ASSERT_EQ(pending.erase(response.value("requestId", "")), 1u) << "unexpected: " << *text;
        EXPECT_EQ(answer_of(response), WAIT_CANCELLED) << *text;
    }
    for (const std::string& context : contexts) {
        EXPECT_EQ(ask(host, "release_context", json::array({context}), PROMPT).status, "success");
    }
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

// pcsc-lite serialises the calls on one context and, while a call waits for its
// context, blocks every other PC/SC call of the process. A second call on a
// context whose endless wait is running (a reader list, an APDU to one of its
// cards) must wait in the host for its turn, not freeze the others: other
// contexts are served, cancel reaches the wait, and the queued calls run after it.
TEST_F(FaultWaits, ASecondCallOnAWaitingContextWaitsItsTurnWithoutFreezingTheOthers) {
    card().set_default_response(response({}, 0x90, 0x00));
    insert_card();
    HostProcess host;
    const std::string context = establish_context(host);
    const std::string handle = connect_card(host, context, VPCD_READER_0);
    ASSERT_FALSE(handle.empty());
    const std::uint32_t empty = known_state(host, context, VPCD_READER_1);
    host.send(endless_wait("endless", context, empty));
    EXPECT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"}));
    host.send(request("same-context-list", "list_readers", {context}));
    host.send(request("same-context-card", "transmit", {context, handle, 2, SELECT}));
    EXPECT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"}));

    const std::string other = establish_context(host);
    ASSERT_FALSE(other.empty()) << "PC/SC calls of other contexts are blocked";
    EXPECT_EQ(ask(host, "list_readers", json::array({other}), PROMPT).status, "success");
    const std::string other_handle = connect_card(host, other, VPCD_READER_0);
    ASSERT_FALSE(other_handle.empty());
    EXPECT_EQ(ask(host, "transmit", json::array({other, other_handle, 2, SELECT}), PROMPT)
                  .strings()
                  .back(),
              "9000");
    EXPECT_EQ(ask(host, "disconnect", json::array({other, other_handle, 0}), PROMPT).status,
              "success");
    EXPECT_EQ(ask(host, "release_context", json::array({other}), PROMPT).status, "success");

    ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
    EXPECT_EQ(answer_of(host.response_for("endless", PROMPT)), WAIT_CANCELLED);
    EXPECT_EQ(answer_of(host.response_for("same-context-list", PROMPT)).status, "success");
    EXPECT_EQ(answer_of(host.response_for("same-context-card", PROMPT)).strings().back(), "9000");

    EXPECT_EQ(ask(host, "disconnect", json::array({context, handle, 0}), PROMPT).status, "success");
    EXPECT_EQ(ask(host, "release_context", json::array({context}), PROMPT).status, "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
    EXPECT_FALSE(has_crash_report(host.stderr_text()));
}

// A cancel ends every wait on its context, the one in the service and those queued
// behind it; a wait that comes after the cancel runs as usual.
TEST_F(FaultWaits, ACancelAlsoEndsTheWaitsQueuedOnItsContext) {
    HostProcess host;
    const std::string context = establish_context(host);
    const std::uint32_t empty = known_state(host, context, VPCD_READER_1);
    host.send(endless_wait("first", context, empty));
    host.send(endless_wait("queued", context, empty));
    EXPECT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"}));

    ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
    EXPECT_EQ(answer_of(host.response_for("first", PROMPT)), WAIT_CANCELLED);
    EXPECT_EQ(answer_of(host.response_for("queued", PROMPT)), WAIT_CANCELLED);

    const Answer later = ask(host, "get_status_change",
                             json::array({context, 0, 1, empty, 0, VPCD_READER_1}), PROMPT);
    EXPECT_EQ(later.strings().at(0), "0x8010000A") << "a later wait must run: " << later.result;
    EXPECT_EQ(ask(host, "release_context", json::array({context}), PROMPT).status, "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

// With other contexts busy, a cancel may reach the service later than the wait
// sent right after it: that later wait must run to its own time-out all the same.
TEST_F(FaultWaits, ACancelNeverEndsAWaitSentAfterItWhileOtherContextsAreBusy) {
    HostProcess host;
    for (int i = 0; i < 8; ++i) {
        const std::string busy = establish_context(host);
        host.send(endless_pnp_wait("busy" + std::to_string(i), busy));
    }
    const std::string context = establish_context(host);
    const std::uint32_t empty = known_state(host, context, VPCD_READER_1);
    for (int trial = 0; trial < 10; ++trial) {
        const std::string wait = "after" + std::to_string(trial);
        host.send_raw(frame_of(request("cancel" + std::to_string(trial), "cancel", {context})) +
                      frame_of(request(wait, "get_status_change",
                                       {context, 400, 1, empty, 0, VPCD_READER_1})));
        const Answer answer = answer_of(host.response_for(wait, PROMPT));
        EXPECT_EQ(answer.strings().at(0), "0x8010000A")
            << "trial " << trial << ": " << answer.result;
    }
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

// A wait queued behind a call that waits for another program (a transaction another
// context holds) is ended by a cancel at once, not when that call returns.
TEST_F(FaultWaits, ACancelReachesAWaitQueuedBehindABlockedTransaction) {
    card().set_default_response(response({}, 0x90, 0x00));
    insert_card();
    HostProcess host;
    const std::string holder = establish_context(host);
    const std::string held = connect_card(host, holder, VPCD_READER_0);
    const std::string context = establish_context(host);
    const std::string card_handle = connect_card(host, context, VPCD_READER_0);
    ASSERT_FALSE(card_handle.empty());
    ASSERT_EQ(ask(host, "begin_transaction", json::array({holder, held})).status, "success");
    const std::uint32_t empty = known_state(host, context, VPCD_READER_1);
    host.send(request("blocked", "begin_transaction", {context, card_handle}));
    host.send(endless_wait("queued", context, empty));
    EXPECT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"}));

    ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
    EXPECT_EQ(answer_of(host.response_for("queued", PROMPT)), WAIT_CANCELLED);
    EXPECT_TRUE(host.response_for("blocked", 200ms).is_null()) << "the transaction was not held";

    EXPECT_EQ(ask(host, "end_transaction", json::array({holder, held, 0}), PROMPT).status,
              "success");
    EXPECT_EQ(answer_of(host.response_for("blocked", PROMPT)), success({"0x00000000"}));
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

// Released while its wait runs, a context is released once the wait has ended;
// the release does not hold up anyone else meanwhile.
TEST_F(FaultWaits, ReleasingAWaitingContextWaitsForTheWaitAlone) {
    HostProcess host;
    const std::string context = establish_context(host);
    const std::uint32_t empty = known_state(host, context, VPCD_READER_1);
    host.send(endless_wait("endless", context, empty));
    EXPECT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"}));
    host.send(request("release", "release_context", {context}));
    const std::string other = establish_context(host);
    EXPECT_FALSE(other.empty()) << "PC/SC calls of other contexts are blocked";

    // The release cannot run before the wait ends, so the cancel still finds the context.
    ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
    EXPECT_EQ(answer_of(host.response_for("endless", PROMPT)), WAIT_CANCELLED);
    EXPECT_EQ(answer_of(host.response_for("release", PROMPT)), success({"0x00000000"}));
    EXPECT_EQ(ask(host, "is_valid_context", json::array({context}), PROMPT).strings().at(0),
              "0x80100003");
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

// The next id is easy to guess: an endless wait on it sent right behind the requests
// that open it is either refused (read before the id existed: it never takes a turn
// of that context) or waits in that context's turn; either way the calls on that
// context and on others, and the cancel, are answered.
TEST_F(FaultWaits, AWaitOnAGuessedIdNeverRunsOutsideItsContextsTurn) {
    HostProcess host;
    const std::string first = establish_context(host);
    ASSERT_FALSE(first.empty());
    char next_text[16];
    std::snprintf(next_text, sizeof next_text, "0x%08lX",
                  (std::stoul(first, nullptr, 16) + 1) & 0xFFFFFFFFul);
    const std::string next = next_text;
    std::string batch;
    for (int i = 0; i < 3; ++i) {
        batch += frame_of(request("new" + std::to_string(i), "establish_context"));
    }
    host.send_raw(batch + frame_of(endless_pnp_wait("guessed", next)));
    std::set<std::string> handed_out;
    for (int i = 0; i < 3; ++i) {
        const Strings result =
            answer_of(host.response_for("new" + std::to_string(i), PROMPT)).strings();
        ASSERT_EQ(result.size(), 2u);
        handed_out.insert(result[1]);
    }
    ASSERT_TRUE(handed_out.count(next)) << "ids are not handed out in turn";

    host.send(request("list", "list_readers", {next}));
    ASSERT_EQ(ask(host, "cancel", json::array({next}), PROMPT), success({"0x00000000"}));
    const Answer wait = answer_of(host.response_for("guessed", PROMPT));
    if (wait != WAIT_CANCELLED) {
        EXPECT_EQ(wait, failure("0x80100003", "Error in handle_smartcard_get_status_change: "
                                              "The supplied handle was invalid"));
    }
    EXPECT_EQ(answer_of(host.response_for("list", PROMPT)).status, "success");
    const std::string other = establish_context(host);
    ASSERT_FALSE(other.empty());
    EXPECT_EQ(ask(host, "list_readers", json::array({other}), PROMPT).status, "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
