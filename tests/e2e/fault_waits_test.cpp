// Many endless status-change waits at once, as a page that watches every reader
// from several tabs would leave them: other requests are still answered, the
// worker threads stay capped, cancelling a context ends its wait, calls queued
// behind a wait on the same context run after it, and the host still ends at once.

#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <string>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "host_answers.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
// The pool's cap, plus the main, sender and monitor threads and a few spare.
constexpr std::uint64_t MAX_THREADS = 64 + 8;
constexpr const char* CANCELLED = "0x80100002";
constexpr const char* SELECT = "00A4040007A0000002471001";
// A prompt answer, with room for a loaded machine; past it the host is stuck.
constexpr std::chrono::milliseconds PROMPT = 5s;

json endless_wait(const std::string& id, const std::string& context, std::uint32_t known) {
    return {{"requestId", id},
            {"command", "get_status_change"},
            {"params", {context, INFINITE, 1, known, 0, VPCD_READER_1}}};
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

TEST_F(FaultWaits, ThirtyTwoEndlessWaitsLeaveTheHostResponsiveAndCapped) {
    HostProcess host;
    const std::vector<std::string> contexts = establish(host, 4);
    const std::uint32_t empty = known_state(host, contexts[0], VPCD_READER_1);
    for (int i = 0; i < 32; ++i) {
        host.send(endless_wait("wait" + std::to_string(i), contexts[i % contexts.size()], empty));
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"})) << "healthcheck " << i;
        EXPECT_EQ(ask(host, command("get_version"), PROMPT).result, "1.0.0");
    }
    const auto threads = proc_status_value(host.pid(), "Threads");
    ASSERT_TRUE(threads.has_value());
    std::cout << "[ waits ] 32 endless waits on 4 contexts: host has " << *threads << " threads"
              << std::endl;
    RecordProperty("Threads", std::to_string(*threads));
    EXPECT_LE(*threads, MAX_THREADS);

    host.close_input();
    EXPECT_EQ(host.wait_exit(3s), 0);
    EXPECT_FALSE(has_crash_report(host.stderr_text()));
}

TEST_F(FaultWaits, CancelEndsTheEndlessWaitOfEachContext) {
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

    // A cancel that reaches the service before the wait does cancels nothing:
    // cancel in rounds until every wait has answered.
    for (int round = 0; round < 50 && !pending.empty(); ++round) {
        for (const std::string& context : contexts) {
            ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
        }
        while (auto text = host.receive_text(300ms)) {
            const json response = json::parse(*text, nullptr, false);
            const std::string id = response.value("requestId", "");
            ASSERT_EQ(pending.erase(id), 1u) << "unexpected answer: " << *text;
            EXPECT_EQ(answer_of(response).strings().at(0), CANCELLED) << *text;
        }
    }
    EXPECT_TRUE(pending.empty()) << pending.size() << " waits never ended";
    for (const std::string& context : contexts) {
        EXPECT_EQ(ask(host, "release_context", json::array({context}), PROMPT).status, "success");
    }
    host.close_input();
    EXPECT_EQ(host.wait_exit(3s), 0);
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
    host.send({{"requestId", "same-context-list"},
               {"command", "list_readers"},
               {"params", json::array({context})}});
    host.send({{"requestId", "same-context-card"},
               {"command", "transmit"},
               {"params", json::array({context, handle, 2, SELECT})}});
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

    // A cancel that reaches the service before the wait does cancels nothing.
    json ended;
    for (int round = 0; round < 50 && ended.is_null(); ++round) {
        ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}))
            << "cancel cannot reach the service";
        ended = host.response_for("endless", 200ms);
    }
    ASSERT_FALSE(ended.is_null()) << "the endless wait never ended";
    EXPECT_EQ(answer_of(ended).strings().at(0), CANCELLED) << ended.dump();
    EXPECT_EQ(answer_of(host.response_for("same-context-list", PROMPT)).status, "success");
    EXPECT_EQ(answer_of(host.response_for("same-context-card", PROMPT)).strings().back(), "9000");

    EXPECT_EQ(ask(host, "disconnect", json::array({context, handle, 0}), PROMPT).status, "success");
    EXPECT_EQ(ask(host, "release_context", json::array({context}), PROMPT).status, "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(3s), 0);
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

    json first;
    for (int round = 0; round < 50 && first.is_null(); ++round) {
        ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
        first = host.response_for("first", 200ms);
    }
    ASSERT_FALSE(first.is_null()) << "the first wait never ended";
    EXPECT_EQ(answer_of(first).strings().at(0), CANCELLED) << first.dump();
    const json queued = host.response_for("queued", PROMPT);
    ASSERT_FALSE(queued.is_null()) << "the queued wait outlived the cancel";
    EXPECT_EQ(answer_of(queued).strings().at(0), CANCELLED) << queued.dump();

    const Answer later =
        ask(host, "get_status_change", json::array({context, 0, 1, empty, 0, VPCD_READER_1}),
            PROMPT);
    EXPECT_EQ(later.strings().at(0), "0x8010000A") << "a later wait must run: " << later.result;
    EXPECT_EQ(ask(host, "release_context", json::array({context}), PROMPT).status, "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(3s), 0);
}

// Released while its wait runs, a context is released once the wait has ended;
// the release does not hold up anyone else meanwhile.
TEST_F(FaultWaits, ReleasingAWaitingContextWaitsForTheWaitAlone) {
    HostProcess host;
    const std::string context = establish_context(host);
    const std::uint32_t empty = known_state(host, context, VPCD_READER_1);
    host.send(endless_wait("endless", context, empty));
    EXPECT_EQ(ask(host, command("healthcheck"), PROMPT), success({"OK"}));
    host.send({{"requestId", "release"},
               {"command", "release_context"},
               {"params", json::array({context})}});
    const std::string other = establish_context(host);
    EXPECT_FALSE(other.empty()) << "PC/SC calls of other contexts are blocked";

    json ended;
    for (int round = 0; round < 50 && ended.is_null(); ++round) {
        // The release cannot run before the wait ends, so cancel still finds the context.
        ASSERT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}))
            << "cancel cannot reach the service";
        ended = host.response_for("endless", 200ms);
    }
    ASSERT_FALSE(ended.is_null()) << "the endless wait never ended";
    EXPECT_EQ(answer_of(ended).strings().at(0), CANCELLED) << ended.dump();
    EXPECT_EQ(answer_of(host.response_for("release", PROMPT)), success({"0x00000000"}));
    EXPECT_EQ(ask(host, "is_valid_context", json::array({context}), PROMPT).strings().at(0),
              "0x80100003");
    host.close_input();
    EXPECT_EQ(host.wait_exit(3s), 0);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
