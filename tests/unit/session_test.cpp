// The session on the fake service, for what the real one cannot be made to do on
// cue: a cancel that reaches the service before the wait it is meant for, and
// calls that queue on a context without a thread each. Answers are taken from the
// process-wide queue.

#include "host/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_pcsc_service.h"
#include "messaging/frame_codec.h"
#include "messaging/messaging_queue.h"
#include "processing/command_table.h"
#include "support/codecs.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using fake::FakePcsc;
using fake::Fn;
using nlohmann::json;

json request(const std::string& id, const std::string& command, json params = json::array()) {
    return json{{"requestId", id}, {"command", command}, {"params", std::move(params)}};
}

// As the host loop submits: the command's row looked up once.
void submit(Session& session, json request, RequestBudget::Token token) {
    const CommandRow* row = find_command(request.value("command", ""));
    session.submit(std::move(request), row, std::move(token));
}

// Answers by request id, as they come off the process-wide queue.
class Answers {
public:
    std::optional<json> wait_for(const std::string& id) {
        const auto deadline = std::chrono::steady_clock::now() + vorn_test::WAIT_LIMIT;
        while (!seen.count(id) && std::chrono::steady_clock::now() < deadline) {
            auto popped = std::make_shared<std::optional<json>>();
            if (!vorn_test::finishes_within(
                    [popped] { *popped = MessagingQueue::instance().wait_and_pop(); },
                    std::chrono::milliseconds(200))) {
                MessagingQueue::instance().push(json{{"requestId", "__unblock__"}});
                continue;
            }
            if (!*popped) continue;
            const std::string popped_id = (**popped).value("requestId", "");
            order.push_back(popped_id);
            seen[popped_id] = **popped;
        }
        const auto found = seen.find(id);
        return found == seen.end() ? std::nullopt : std::optional<json>(found->second);
    }

    // Of the answers taken so far, the id among `ids` that came first.
    std::string first_of(const std::vector<std::string>& ids) const {
        for (const std::string& id : order) {
            if (std::find(ids.begin(), ids.end(), id) != ids.end()) return id;
        }
        return "none";
    }

private:
    std::map<std::string, json> seen;
    std::vector<std::string> order;
};

std::string status_of(const std::optional<json>& answer) {
    return answer ? answer->value("status", "") + " " + answer->value("result", json()).dump()
                  : "no answer";
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { FakePcsc::instance().reset(); }
    void TearDown() override { FakePcsc::instance().reset(); }

    // A context of the session: the id it handed out.
    void establish() {
        submit(session, request("ctx", "establish_context"), {});
        const auto answer = answers.wait_for("ctx").value_or(json());
        ASSERT_EQ(answer["status"], "success");
        context = answer["result"][1].get<std::string>();
    }

    // A held context with an endless wait on it.
    void wait_on_a_context() {
        FakePcsc::instance().set_waits_block(true);
        ASSERT_NO_FATAL_FAILURE(establish());
        submit(session, request("wait", "get_status_change", endless_wait()), {});
    }

    json endless_wait() const {
        return json::array(
            {context, fake::INFINITE_TIMEOUT, 1, fake::STATE_EMPTY, 0, fake::READER_B});
    }

    Session session{2};
    Answers answers;
    std::string context;
};

// pcsc-lite forgets a cancel that comes while the wait is still on its way into
// the library: the session repeats it until the wait has left.
TEST_F(SessionTest, ACancelThatMissesItsWaitIsRepeatedUntilTheWaitEnds) {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool cancelled = false;
    int cancels = 0;
    FakePcsc::instance().override_get_status_change(
        [&](std::int32_t, std::uint32_t, pcsc::ReaderState*, std::uint32_t) {
            std::unique_lock lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return cancelled; });
            return pcsc::E_CANCELLED;
        });
    FakePcsc::instance().override_cancel([&](std::int32_t) {
        const std::lock_guard lock(mutex);
        // The first one comes too early and is lost, as with the real service.
        if (++cancels > 1) cancelled = true;
        changed.notify_all();
        return pcsc::SUCCESS;
    });
    ASSERT_NO_FATAL_FAILURE(establish());
    submit(session, request("wait", "get_status_change", endless_wait()), {});
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, vorn_test::WAIT_LIMIT, [&] { return entered; }));
    }
    submit(session, request("cancel", "cancel", json::array({context})), {});

    EXPECT_EQ(answers.wait_for("cancel").value_or(json())["status"], "success");
    const auto wait = answers.wait_for("wait");
    ASSERT_TRUE(wait.has_value()) << "the wait outlived its cancel";
    EXPECT_EQ((*wait)["result"][0], "0x80100002") << status_of(wait);
    EXPECT_GE(cancels, 2);
    EXPECT_TRUE(session.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
}

// Calls behind an endless wait wait in their context's queue, not on a thread
// each; a cancel ends the wait and they run in their order.
TEST_F(SessionTest, CallsQueuedBehindAWaitHoldNoThreadAndRunAfterTheCancel) {
    wait_on_a_context();
    for (int i = 0; i < 100; ++i) {
        submit(session, request("list" + std::to_string(i), "list_readers", json::array({context})),
               {});
    }
    submit(session, request("health", "healthcheck"), {});
    EXPECT_EQ(answers.wait_for("health").value_or(json())["status"], "success");
    EXPECT_LE(session.worker_count(), 4u);

    submit(session, request("cancel", "cancel", json::array({context})), {});
    EXPECT_EQ(status_of(answers.wait_for("wait")),
              "error " + json::array({"0x80100002",
                                      "Error in handle_smartcard_get_status_change: The action "
                                      "was cancelled by an SCardCancel request"})
                             .dump());
    EXPECT_EQ(answers.wait_for("list99").value_or(json())["status"], "success");
    EXPECT_TRUE(session.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
}

// An id the session did not hand out never reaches the service: on Windows a
// made-up handle could be dereferenced there.
TEST_F(SessionTest, MadeUpHandlesAreInvalidWithoutAskingTheService) {
    ASSERT_NO_FATAL_FAILURE(establish());
    const std::string made_up = to_hex(fake::DEFAULT_CONTEXT);
    ASSERT_NE(made_up, context);
    submit(session, request("release", "release_context", json::array({made_up})), {});
    submit(session, request("valid", "is_valid_context", json::array({made_up})), {});
    submit(session,
           request("transmit", "transmit", json::array({context, made_up, 2, "00A4040000"})), {});
    for (const char* id : {"release", "valid", "transmit"}) {
        const auto answer = answers.wait_for(id);
        ASSERT_TRUE(answer.has_value()) << id;
        EXPECT_EQ((*answer)["result"][0], "0x80100003") << id << " " << status_of(answer);
    }
    EXPECT_TRUE(FakePcsc::instance().calls(Fn::RELEASE_CONTEXT).empty());
    EXPECT_TRUE(FakePcsc::instance().calls(Fn::IS_VALID_CONTEXT).empty());
    EXPECT_TRUE(FakePcsc::instance().calls(Fn::TRANSMIT).empty());
    EXPECT_TRUE(session.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
}

// At the end every request read is answered: started ones finish (a wait is
// cancelled), the others are refused; what the extension left open is released.
TEST_F(SessionTest, FinishAnswersEveryRequestAndReleasesTheContext) {
    wait_on_a_context();
    submit(session, request("queued", "list_readers", json::array({context})), {});
    EXPECT_TRUE(session.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));

    EXPECT_EQ(answers.wait_for("wait").value_or(json())["result"][0], "0x80100002");
    EXPECT_EQ(status_of(answers.wait_for("queued")),
              "error " + json::array({"0x80100002",
                                      "The host is shutting down: the request was not started"})
                             .dump());
    EXPECT_EQ(FakePcsc::instance().calls(Fn::RELEASE_CONTEXT).size(), 1u);
    EXPECT_EQ(session.context_count(), 0u);
}

// A call that finds the service gone loses its context with it: the session forgets
// the context (the page need not release it) before the answer goes out. Other
// failures leave it held.
TEST_F(SessionTest, OnlyAServiceGoneForgetsTheContextOfTheCall) {
    struct Case {
        std::int32_t status;
        std::size_t contexts_after;
    };
    const Case cases[] = {
        {pcsc::E_NO_SERVICE, 0}, {pcsc::E_SERVICE_STOPPED, 0}, {pcsc::F_COMM_ERROR, 0},
        {pcsc::E_TIMEOUT, 1},    {pcsc::E_INVALID_HANDLE, 1},
    };
    for (const Case& c : cases) {
        Session own{2};
        submit(own, request("ctx", "establish_context"), {});
        const auto established = answers.wait_for("ctx").value_or(json());
        ASSERT_EQ(established["status"], "success");
        const std::string id = established["result"][1].get<std::string>();
        FakePcsc::instance().next(Fn::GET_STATUS_CHANGE, {.status = c.status});
        const std::string wait = "wait" + std::to_string(c.status);
        submit(own,
               request(wait, "get_status_change",
                       json::array({id, 0, 1, fake::STATE_EMPTY, 0, fake::READER_B})),
               {});
        EXPECT_EQ(answers.wait_for(wait).value_or(json())["result"][0], to_hex(c.status));
        EXPECT_EQ(own.context_count(), c.contexts_after) << to_hex(c.status);
        EXPECT_TRUE(own.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
        answers = Answers();
    }
}

// Where a call runs depends on its ids alone: one on a held context whose other
// parameters are refused still takes its turn behind the calls before it, as it
// always did, while one that the service would refuse for its size does not wait.
TEST_F(SessionTest, ARefusedCallWaitsItsTurnAndAnOversizedWaitDoesNot) {
    wait_on_a_context();
    submit(session, request("connect", "connect", json::array({context, "Reader", 9, 3})), {});
    json records = json::array({context, fake::INFINITE_TIMEOUT, 1});
    for (std::size_t i = 0; i <= pcsc::MAX_READERS_PER_WAIT; ++i) {
        records.push_back(fake::STATE_EMPTY);
        records.push_back(0);
        records.push_back(fake::READER_B);
    }
    submit(session, request("long", "get_status_change", records), {});
    EXPECT_EQ(answers.wait_for("long").value_or(json())["status"], "error");
    // Answered on this thread: it is queued before the connect's refusal.
    submit(session, request("health", "healthcheck"), {});
    EXPECT_EQ(answers.wait_for("health").value_or(json())["status"], "success");
    EXPECT_EQ(answers.first_of({"health", "connect"}), "health");

    submit(session, request("cancel", "cancel", json::array({context})), {});
    EXPECT_EQ(status_of(answers.wait_for("connect")),
              "error " + json::array({"0x80100014", "Invalid share_mode value: 9"}).dump());
    EXPECT_TRUE(session.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
}

// An answer waiting to be written weighs its frame in the budget, and the request
// nothing once it is answered.
TEST_F(SessionTest, AnAnswerWeighsItsFrame) {
    RequestBudget budget;
    submit(session, request("weighed", "get_version"), budget.try_take(4096));
    // Answered on this thread: queued, not yet written.
    const std::size_t held = budget.bytes();
    EXPECT_EQ(budget.requests(), 0u);
    const auto answer = answers.wait_for("weighed");
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(held, framing::encode_frame(answer->dump()).size());
    EXPECT_EQ(budget.bytes(), 0u);
    EXPECT_TRUE(session.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
