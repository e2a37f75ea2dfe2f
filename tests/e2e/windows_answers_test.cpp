// Where Windows' Smart Card service answers otherwise than pcsc-lite, as Microsoft
// documents it: what the host passes on to the extension. The Windows cases run on the
// stand-in WinSCard (tests/windows/e2e.sh); pcsc-lite's answer is checked beside them
// where it has one.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "fixtures/pcscd_service.h"
#include "host_answers.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

std::string hex(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

class WindowsAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(PcscdService::ensure_running(PcscdService::DEFAULT_TIMEOUT, &why)) << why;
        ASSERT_TRUE(PcscdService::wait_for_readers({TEST_READER}, PcscdService::DEFAULT_TIMEOUT))
            << "run the tests under scripts/hermetic.sh";
    }
};

#define WINDOWS_ONLY()                                                               \
    if (!windows_stand_in()) {                                                       \
        GTEST_SKIP() << "Windows' behaviour: the stand-in's (tests/windows/e2e.sh)"; \
    }

// SCARD_READERSTATE: a reader the service does not know is reported in its flags,
// UNKNOWN with CHANGED and IGNORE; pcsc-lite fails the wait with SCARD_E_UNKNOWN_READER.
TEST_F(WindowsAnswers, UnknownReaderInAWait) {
    HostProcess host;
    const std::string context = establish_context(host);
    const Answer answer = ask(host, "get_status_change",
                              json::array({context, 1000, 1, 0, 0, "Vorn No Such Reader"}));
    if (!windows_stand_in()) {
        ASSERT_EQ(answer.status, "error") << answer.result.dump();
        EXPECT_EQ(answer.strings().at(0), "0x80100009");
        return;
    }
    ASSERT_EQ(answer.status, "success") << answer.result.dump();
    constexpr std::uint32_t UNKNOWN_CHANGED_IGNORE = 0x4 | 0x2 | 0x1;
    EXPECT_EQ(answer.strings().at(3), hex(UNKNOWN_CHANGED_IGNORE));
}

// SCardBeginTransaction: a transaction held idle longer than five seconds (here the
// stand-in's limit is shortened) gets the card reset. The host reports it as pcsc-lite
// reports a reset by another program, SCARD_W_RESET_CARD, until the page reconnects.
TEST_F(WindowsAnswers, IdleTransactionGetsTheCardReset) {
    WINDOWS_ONLY()
    HostOptions options;
    options.environment.emplace_back("VORN_WINSCARD_IDLE_RESET_MS", "300");
    HostProcess host(options);
    const std::string context = establish_context(host);
    const std::string card = connect_card(host, context, TEST_READER);
    ASSERT_FALSE(card.empty());
    const json select = json::array({context, card, 2, "00A4040000"});
    ASSERT_EQ(ask(host, "begin_transaction", json::array({context, card})).status, "success");
    ASSERT_EQ(ask(host, "transmit", select).status, "success");
    std::this_thread::sleep_for(600ms);  // longer than the limit: not a bound

    const Answer reset = ask(host, "transmit", select);
    ASSERT_EQ(reset.status, "error") << reset.result.dump();
    EXPECT_EQ(reset.strings().at(0), "0x80100068");
    EXPECT_EQ(ask(host, "end_transaction", json::array({context, card, 0})).strings().at(0),
              "0x80100068");
    EXPECT_EQ(
        ask(host, "reconnect", json::array({context, card, SHARE_SHARED, 3, LEAVE_CARD})).status,
        "success");
    EXPECT_EQ(ask(host, "transmit", select).status, "success");
}

// Statuses only Windows has (Smart Card Return Values): the stand-in gives them when a
// test asks, and the host passes them on unchanged.
TEST_F(WindowsAnswers, WindowsOnlyStatusesReachTheExtension) {
    WINDOWS_ONLY()
    HostOptions options;
    options.environment.emplace_back("VORN_WINSCARD_STATUS",
                                     "SCardTransmit=0x80100033,SCardBeginTransaction=0x8010006E");
    HostProcess host(options);
    const std::string context = establish_context(host);
    const std::string card = connect_card(host, context, TEST_READER);
    ASSERT_FALSE(card.empty());
    const Answer transmit = ask(host, "transmit", json::array({context, card, 2, "00A4040000"}));
    EXPECT_EQ(transmit.status, "error");
    EXPECT_EQ(transmit.strings().at(0), "0x80100033");
    const Answer begin = ask(host, "begin_transaction", json::array({context, card}));
    EXPECT_EQ(begin.status, "error");
    EXPECT_EQ(begin.strings().at(0), "0x8010006E");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
