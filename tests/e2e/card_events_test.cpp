// What the extension sees of card events, on every PC/SC the host is built for: the
// count of a reader's card events (the Web Smart Card API's eventCount), and the codes
// of a transaction begun or a connection made after the card changed. Where a platform's
// service keeps no count or numbers these codes otherwise (Apple's framework), the host
// makes up the same answers.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "e2e/host_answers.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "fixtures/pcscd_service.h"
#include "fixtures/virtual_card.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

constexpr std::uint32_t UNPOWER_CARD = 2;

class CardEvents : public PcscTestBed {
protected:
    // The reader's event state as a wait that knows nothing of it answers.
    std::uint32_t look(const std::string& reader) {
        const Answer now =
            ask(host, "get_status_change", json::array({context(), 0, 1, 0, 0, reader}));
        EXPECT_EQ(now.status, "success") << now.result;
        const Strings result = now.strings();
        return result.size() == 5 ? static_cast<std::uint32_t>(std::stoul(result[3], nullptr, 16))
                                  : 0;
    }

    const std::string& context() {
        if (context_.empty()) context_ = establish_context(host);
        return context_;
    }

    HostProcess host;

private:
    std::string context_;
};

std::uint32_t count_of(std::uint32_t state) { return state >> 16; }

TEST_F(CardEvents, EachInsertionAndRemovalCountsOneInTheReadersState) {
    const std::uint32_t empty = look(VPCD_READER_0);
    ASSERT_NE(empty & STATE_EMPTY, 0u) << std::hex << empty;

    insert_card();
    const std::uint32_t present = look(VPCD_READER_0);
    EXPECT_NE(present & STATE_PRESENT, 0u) << std::hex << present;
    EXPECT_EQ(count_of(present), (count_of(empty) + 1) & 0xFFFF) << std::hex << present;

    remove_card();
    const std::uint32_t removed = look(VPCD_READER_0);
    EXPECT_NE(removed & STATE_EMPTY, 0u) << std::hex << removed;
    EXPECT_EQ(count_of(removed), (count_of(empty) + 2) & 0xFFFF) << std::hex << removed;
}

TEST_F(CardEvents, AWaitThatNamesAnOldCountEndsAtOnceWithTheChange) {
    const std::uint32_t empty = look(VPCD_READER_0) & ~STATE_CHANGED;
    insert_card();
    look(VPCD_READER_0);
    remove_card();
    // The reader is empty again, as the caller last knew it, but two events came between.
    const Answer wait =
        ask(host, "get_status_change", json::array({context(), 60000, 1, empty, 0, VPCD_READER_0}));
    ASSERT_EQ(wait.status, "success") << wait.result;
    const auto event = static_cast<std::uint32_t>(std::stoul(wait.strings().at(3), nullptr, 16));
    EXPECT_NE(event & STATE_CHANGED, 0u) << std::hex << event;
    EXPECT_NE(event & STATE_EMPTY, 0u) << std::hex << event;
    EXPECT_EQ(count_of(event), (count_of(empty) + 2) & 0xFFFF) << std::hex << event;
}

TEST_F(CardEvents, ATransactionBegunAfterTheCardWasChangedAnswersRemovedCard) {
    insert_card();
    const std::string card = connect_card(host, context(), VPCD_READER_0);
    ASSERT_FALSE(card.empty());
    remove_card();
    insert_card();
    EXPECT_EQ(ask(host, "begin_transaction", json::array({context(), card})),
              failure("0x80100069",
                      "Error in handle_smartcard_begin_transaction: The smart card has been "
                      "removed, so further communication is not possible"));
}

TEST_F(CardEvents, ATransactionBegunAfterAnotherApplicationPoweredTheCardOffAnswersResetCard) {
    insert_card();
    const std::string card = connect_card(host, context(), VPCD_READER_0);
    ASSERT_FALSE(card.empty());
    {
        // Another application, on its own connection.
        PcscContext other;
        ASSERT_TRUE(other.ok());
        PcscConnection connection(other.get(), VPCD_READER_0);
        ASSERT_TRUE(connection.ok());
        std::uint32_t protocol = 0;
        ASSERT_EQ(pcsc::reconnect(connection.card(), SHARE_SHARED, PROTOCOL_T0 | PROTOCOL_T1,
                                  UNPOWER_CARD, protocol),
                  pcsc::SUCCESS);
    }
    EXPECT_EQ(ask(host, "begin_transaction", json::array({context(), card})),
              failure("0x80100068",
                      "Error in handle_smartcard_begin_transaction: The smart card has been "
                      "reset, so any shared state information is invalid"));
}

TEST_F(CardEvents, AConnectionUnderAProtocolTheCardLacksAnswersProtocolMismatch) {
    card().set_atr(VirtualCard::t0_atr());
    insert_card();
    EXPECT_EQ(
        ask(host, "connect", json::array({context(), VPCD_READER_0, SHARE_SHARED, PROTOCOL_T1})),
        failure("0x8010000F",
                "Error in handle_smartcard_connect: The requested protocols are "
                "incompatible with the protocol currently in use with the smart card"));
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
