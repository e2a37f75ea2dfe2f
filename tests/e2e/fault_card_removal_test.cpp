// A card pulled out while the extension is using it: inside a transaction, and
// while a long status-change wait watches its reader. The host answers with the
// service's statuses and goes on serving; a card put back in works again.

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "host_answers.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
constexpr std::uint32_t CHANGED = 0x0002;
constexpr std::uint32_t EMPTY = 0x0010;
constexpr std::uint32_t PRESENT = 0x0020;
constexpr const char* SELECT = "00A4040007A0000002471001";
constexpr const char* REMOVED_CARD = "0x80100069";

class FaultCardRemoval : public PcscTestBed {
protected:
    void SetUp() override {
        PcscTestBed::SetUp();
        card().set_default_response(response({}, 0x90, 0x00));
    }

    static void record(const std::string& what, const Answer& answer) {
        std::cout << "[ card removed ] " << what << " -> " << answer.status << " "
                  << answer.result.dump() << std::endl;
    }
};

TEST_F(FaultCardRemoval, RemovedDuringATransactionAnswersRemovedCardAndServesOn) {
    insert_card();
    HostProcess host;
    const std::string context = establish_context(host);
    const std::string handle = connect_card(host, context, VPCD_READER_0);
    ASSERT_FALSE(handle.empty());
    ASSERT_EQ(ask(host, "begin_transaction", json::array({context, handle})).status, "success");
    ASSERT_EQ(ask(host, "transmit", json::array({context, handle, 2, SELECT})).strings().back(),
              "9000");

    remove_card();

    const Answer transmit = ask(host, "transmit", json::array({context, handle, 2, SELECT}));
    record("transmit", transmit);
    EXPECT_EQ(transmit.status, "error");
    EXPECT_EQ(transmit.strings().at(0), REMOVED_CARD);
    const Answer end = ask(host, "end_transaction", json::array({context, handle, 0}));
    record("end_transaction", end);
    EXPECT_EQ(end.status, "error");
    EXPECT_EQ(end.strings().at(0), REMOVED_CARD);
    const Answer status = ask(host, "status", json::array({context, handle}));
    record("status", status);
    EXPECT_EQ(status.status, "error");
    EXPECT_EQ(status.strings().at(0), REMOVED_CARD);
    const Answer disconnect = ask(host, "disconnect", json::array({context, handle, 0}));
    record("disconnect", disconnect);
    EXPECT_EQ(ask(host, command("healthcheck")).strings(), Strings{"OK"});

    // Put back, the card gets a new connection and answers again.
    insert_card();
    const std::string again = connect_card(host, context, VPCD_READER_0);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(ask(host, "transmit", json::array({context, again, 2, SELECT})).strings().back(),
              "9000");
    EXPECT_EQ(ask(host, "disconnect", json::array({context, again, 0})).status, "success");
    EXPECT_EQ(ask(host, "release_context", json::array({context})).status, "success");

    host.close_input();
    EXPECT_EQ(host.wait_exit(3s), 0);
    EXPECT_FALSE(has_crash_report(host.stderr_text())) << host.stderr_text();
}

TEST_F(FaultCardRemoval, RemovedDuringAnEndlessWaitEndsTheWaitWithTheEmptyReader) {
    insert_card();
    HostProcess host;
    const std::string context = establish_context(host);
    const std::uint32_t present = known_state(host, context, VPCD_READER_0);
    ASSERT_NE(present & PRESENT, 0u) << std::hex << present;

    host.send(
        request("watch", "get_status_change", {context, INFINITE, 1, present, 0, VPCD_READER_0}));
    // Other requests go on while the wait runs.
    EXPECT_EQ(ask(host, command("healthcheck")).strings(), Strings{"OK"});

    remove_card();

    const Answer wait = answer_of(host.response_for("watch", PcscTestBed::WAIT));
    record("endless get_status_change", wait);
    ASSERT_EQ(wait.status, "success") << wait.result;
    const Strings result = wait.strings();
    ASSERT_EQ(result.size(), 5u) << wait.result;
    EXPECT_EQ(result[0], "0x00000000");
    const auto event = static_cast<std::uint32_t>(std::stoul(result[3], nullptr, 16));
    EXPECT_NE(event & CHANGED, 0u) << result[3];
    EXPECT_NE(event & EMPTY, 0u) << result[3];
    EXPECT_EQ(event & PRESENT, 0u) << result[3];
    EXPECT_EQ(result[4], "");

    EXPECT_EQ(ask(host, "release_context", json::array({context})).status, "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(3s), 0);
    EXPECT_FALSE(has_crash_report(host.stderr_text())) << host.stderr_text();
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
