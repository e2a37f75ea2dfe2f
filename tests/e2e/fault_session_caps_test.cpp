// One page holding as many contexts and card connections as it likes would use
// up what pcscd serves the whole machine (200 of each), cutting every other
// program off from the cards. A session gets a fixed share: past it a clear
// refusal, and other programs keep theirs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "host_answers.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

const Answer CONTEXT_LIMIT =
    failure("0x80100006",
            "Error in handle_smartcard_establish_context: Session limit reached: at most 32 "
            "contexts per session");
const Answer CARD_LIMIT = failure(
    "0x80100006",
    "Error in handle_smartcard_connect: Session limit reached: at most 64 cards per session");

class FaultSessionCaps : public PcscTestBed {
protected:
    void SetUp() override {
        PcscTestBed::SetUp();
        card().set_default_response(response({}, 0x90, 0x00));
        insert_card();
    }

    // Another program on the machine: a host of its own still gets a context and a card.
    static void expect_another_program_connects() {
        HostProcess other;
        const std::string context = establish_context(other);
        ASSERT_FALSE(context.empty()) << "another program cannot get a context";
        EXPECT_FALSE(connect_card(other, context, VPCD_READER_0).empty())
            << "another program cannot connect";
    }
};

TEST_F(FaultSessionCaps, ThirtyTwoContextsPerSessionLeaveOtherProgramsTheirs) {
    HostProcess page;
    std::string batch;
    for (int i = 0; i < 200; ++i)
        batch += frame_of(request("c" + std::to_string(i), "establish_context"));
    page.send_raw(batch);
    std::vector<std::string> contexts;
    for (int i = 0; i < 200; ++i) {
        const Answer answer = answer_of(page.response_for("c" + std::to_string(i), PROMPT));
        if (answer.status == "success") {
            contexts.push_back(answer.strings().at(1));
        } else {
            EXPECT_EQ(answer, CONTEXT_LIMIT) << "establish " << i;
        }
    }
    EXPECT_EQ(contexts.size(), 32u);
    expect_another_program_connects();

    ASSERT_FALSE(contexts.empty());
    EXPECT_EQ(ask(page, "release_context", json::array({contexts.back()})),
              success({"0x00000000"}));
    EXPECT_EQ(ask(page, command("establish_context")).status, "success")
        << "a released context still counts";
    EXPECT_EQ(ask(page, command("establish_context")), CONTEXT_LIMIT);
}

TEST_F(FaultSessionCaps, SixtyFourCardsPerSessionLeaveOtherProgramsTheirs) {
    HostProcess page;
    const std::string context = establish_context(page);
    std::vector<std::string> cards;
    for (int i = 0; i < 64; ++i) {
        cards.push_back(connect_card(page, context, VPCD_READER_0));
        ASSERT_FALSE(cards.back().empty()) << "connect " << i;
    }
    const json connect = json::array({context, VPCD_READER_0, 2, 3});
    EXPECT_EQ(ask(page, "connect", connect), CARD_LIMIT);
    expect_another_program_connects();

    EXPECT_EQ(ask(page, "disconnect", json::array({context, cards.back(), 0})).status, "success");
    EXPECT_EQ(ask(page, "connect", connect).status, "success")
        << "a disconnected card still counts";
    EXPECT_EQ(ask(page, "connect", connect), CARD_LIMIT);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
