// A page that fills the host's budget with calls that never end on one context,
// then sends a healthcheck and the cancel that would end them: the host keeps
// reading, refuses what comes past the limit at once with the service's "too
// busy", and serves the healthcheck and the cancel, which frees everything.

#include <gtest/gtest.h>

#include <functional>
#include <map>
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

constexpr int FILLERS = 300;
// Requests the host takes before it refuses (RequestBudget::MAX_REQUESTS).
constexpr int ACCEPTED = 256;

struct WedgeCase {
    const char* name;
    // The i-th request on the context.
    std::function<json(const std::string& id, int i, const std::string& context)> filler;
    // What an accepted one answers once the cancel has come.
    std::function<bool(const Answer&)> answered_after_cancel;
};

void PrintTo(const WedgeCase& c, std::ostream* out) { *out << c.name; }

class FaultBusyRefusal : public PcscTestBed, public ::testing::WithParamInterface<WedgeCase> {};

TEST_P(FaultBusyRefusal, PastTheLimitRequestsAreRefusedAtOnceAndTheCancelBehindThemIsServed) {
    const WedgeCase& c = GetParam();
    HostProcess host;
    const std::string context = establish_context(host);
    ASSERT_FALSE(context.empty());
    std::string batch;
    for (int i = 0; i < FILLERS; ++i)
        batch += frame_of(c.filler("f" + std::to_string(i), i, context));
    batch += frame_of(request("health", "healthcheck"));
    batch += frame_of(request("cancel", "cancel", {context}));
    BackgroundWriter writer(host, 1, [&batch](int) { return batch; });

    std::map<std::string, Answer> answers;
    while (answers.size() < FILLERS + 2) {
        const auto response = host.receive(30s);
        ASSERT_TRUE(response.has_value())
            << "answers stopped after " << answers.size() << " of " << FILLERS + 2;
        const std::string id = response->value("requestId", "");
        ASSERT_TRUE(answers.emplace(id, answer_of(*response)).second) << "answered twice: " << id;
    }
    EXPECT_EQ(answers["health"], success({"OK"}));
    EXPECT_EQ(answers["cancel"], success({"0x00000000"}));
    std::set<int> refused;
    for (int i = 0; i < FILLERS; ++i) {
        const Answer& answer = answers["f" + std::to_string(i)];
        if (answer == BUSY) {
            refused.insert(i);
        } else {
            EXPECT_TRUE(c.answered_after_cancel(answer)) << "f" << i << ": " << answer.result;
        }
    }
    // Exactly those that came once the budget was full.
    EXPECT_EQ(refused.size(), static_cast<std::size_t>(FILLERS - ACCEPTED));
    EXPECT_EQ(*refused.begin(), ACCEPTED) << "a request within the budget was refused";

    // Nothing is left held: the context serves again, and the host ends with its input.
    EXPECT_EQ(ask(host, "list_readers", json::array({context})).strings().at(0), "0x00000000");
    EXPECT_TRUE(writer.finished(PROMPT));
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
    EXPECT_FALSE(has_crash_report(host.stderr_text()));
}

INSTANTIATE_TEST_SUITE_P(
    Wedges, FaultBusyRefusal,
    ::testing::Values(WedgeCase{"EndlessWaits",
                                [](const std::string& id, int, const std::string& context) {
                                    return endless_pnp_wait(id, context);
                                },
                                [](const Answer& answer) { return answer == WAIT_CANCELLED; }},
                      WedgeCase{"CallsQueuedBehindOneEndlessWait",
                                [](const std::string& id, int i, const std::string& context) {
                                    return i == 0 ? endless_pnp_wait(id, context)
                                                  : request(id, "list_readers", {context});
                                },
                                [](const Answer& answer) {
                                    return answer == WAIT_CANCELLED ||
                                           (answer.status == "success" &&
                                            answer.strings().at(0) == "0x00000000");
                                }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
