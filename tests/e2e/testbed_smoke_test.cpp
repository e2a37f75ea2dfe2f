// The test bed itself, end to end: the real pcscd, its vpcd readers and our virtual card,
// seen through the host's pcsc:: adapter over pcsc-lite. When these fail, every other
// end-to-end test would fail for reasons that are not the host's.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/pcsc_test_bed.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

const Bytes SELECT_AID = hex("00 A4 04 00 07 A0 00 00 02 47 10 01");
const Bytes SELECT_ANSWER = hex("6F 0A 84 08 A0 00 00 02 47 10 01 01 90 00");

std::vector<std::string> names_of(const std::vector<char>& multi_string) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < multi_string.size() && multi_string[i] != '\0';) {
        std::string name(multi_string.data() + i);
        i += name.size() + 1;
        names.push_back(std::move(name));
    }
    return names;
}

Bytes atr_of(const pcsc::ReaderState& state) {
    return Bytes(state.atr.begin(),
                 state.atr.begin() + std::min<std::size_t>(state.atr_length, state.atr.size()));
}

class TestBedSmoke : public PcscTestBed {};

TEST_F(TestBedSmoke, PcscdListsBothVirtualReaders) {
    PcscContext context;
    ASSERT_TRUE(context.ok());
    std::uint32_t length = 0;
    ASSERT_EQ(pcsc::list_readers(context.get(), nullptr, length), pcsc::SUCCESS);
    std::vector<char> buffer(length);
    ASSERT_EQ(pcsc::list_readers(context.get(), buffer.data(), length), pcsc::SUCCESS);

    const auto names = names_of(buffer);
    EXPECT_NE(std::find(names.begin(), names.end(), VPCD_READER_0), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), VPCD_READER_1), names.end());
}

TEST_F(TestBedSmoke, StatusReportsTheInsertedCardsAtr) {
    insert_card();
    PcscContext context;
    PcscConnection connection(context.get(), VPCD_READER_0);
    ASSERT_TRUE(connection.ok()) << std::hex << connection.status();
    EXPECT_EQ(connection.protocol(), PROTOCOL_T1);

    // First call as the host makes it: lengths only.
    std::uint32_t name_length = 0;
    std::uint32_t state = 0;
    std::uint32_t protocol = 0;
    std::uint32_t atr_length = pcsc::MAX_ATR_SIZE;
    ASSERT_EQ(
        pcsc::status(connection.card(), nullptr, name_length, state, protocol, nullptr, atr_length),
        pcsc::SUCCESS);
    ASSERT_GT(name_length, 0u);

    std::vector<char> name(name_length);
    Bytes atr(pcsc::MAX_ATR_SIZE);
    ASSERT_EQ(pcsc::status(connection.card(), name.data(), name_length, state, protocol, atr.data(),
                           atr_length),
              pcsc::SUCCESS);
    atr.resize(atr_length);
    EXPECT_EQ(std::string(name.data()), VPCD_READER_0);
    EXPECT_EQ(to_hex(atr), to_hex(VirtualCard::t1_atr()));
    EXPECT_EQ(protocol, PROTOCOL_T1);
    EXPECT_NE(state & pcsc::STATE_POWERED, 0u);
}

TEST_F(TestBedSmoke, StatusChangeReportsInsertionWithTheAtr) {
    PcscContext context;
    pcsc::ReaderState state;
    state.reader_name = VPCD_READER_0;
    ASSERT_EQ(pcsc::get_status_change(context.get(), 0, &state, 1), pcsc::SUCCESS);
    ASSERT_NE(state.event_state & STATE_EMPTY, 0u);

    ASSERT_TRUE(card().insert(WAIT));
    state.current_state = state.event_state & ~STATE_CHANGED;
    bool seen = false;
    for (int round = 0; round < 40 && !seen; ++round) {
        const auto status = pcsc::get_status_change(context.get(), 250, &state, 1);
        ASSERT_TRUE(status == pcsc::SUCCESS || status == pcsc::E_TIMEOUT) << std::hex << status;
        seen = status == pcsc::SUCCESS && (state.event_state & STATE_PRESENT) != 0;
        state.current_state = state.event_state & ~STATE_CHANGED;
    }
    ASSERT_TRUE(seen) << "no insertion reported";
    EXPECT_NE(state.event_state & STATE_CHANGED, 0u);
    EXPECT_EQ(to_hex(atr_of(state)), to_hex(VirtualCard::t1_atr()));
}

TEST_F(TestBedSmoke, CardAnswersSelectAndRecordsTheCommand) {
    card().respond(SELECT_AID, SELECT_ANSWER);
    insert_card();
    PcscContext context;
    PcscConnection connection(context.get(), VPCD_READER_0);
    ASSERT_TRUE(connection.ok());
    card().clear_received();

    std::int32_t status = 0;
    EXPECT_EQ(to_hex(connection.transmit(SELECT_AID, &status)), to_hex(SELECT_ANSWER));
    EXPECT_EQ(status, pcsc::SUCCESS);
    EXPECT_EQ(to_hex(connection.transmit(hex("00 CA 9F 7F 00"))), "6D00");

    const auto received = card().received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(to_hex(received[0]), to_hex(SELECT_AID));
    EXPECT_EQ(to_hex(received[1]), "00CA9F7F00");
}

TEST_F(TestBedSmoke, ShortExtendedAndEmptyResponsesArriveIntact) {
    card().respond_prefix(hex("00 B0 00 00"), patterned_response(256));
    card().respond_prefix(hex("00 B0 7F 00"), patterned_response(MAX_RESPONSE_DATA));
    card().respond(hex("00 20 00 80 00"), hex("90 00"));
    card().set_handler([](const Bytes& command) -> std::optional<Bytes> {
        if (command.size() >= 2 && command[1] == 0x84) {
            return patterned_response(8);
        }
        return std::nullopt;
    });
    insert_card();
    PcscContext context;
    PcscConnection connection(context.get(), VPCD_READER_0);
    ASSERT_TRUE(connection.ok());

    const Bytes short_answer = connection.transmit(hex("00 B0 00 00 00"));
    EXPECT_EQ(short_answer.size(), 258u);
    EXPECT_EQ(short_answer, patterned_response(256));

    const Bytes extended_answer = connection.transmit(hex("00 B0 7F 00 00 00 00"));
    EXPECT_EQ(extended_answer.size(), MAX_RESPONSE_SIZE);
    EXPECT_EQ(extended_answer, patterned_response(MAX_RESPONSE_DATA));

    EXPECT_EQ(to_hex(connection.transmit(hex("00 20 00 80 00"))), "9000");
    EXPECT_EQ(connection.transmit(hex("00 84 00 00 08")), patterned_response(8));
}

TEST_F(TestBedSmoke, RemovalIsSeenByTheService) {
    insert_card();
    PcscContext context;
    PcscConnection connection(context.get(), VPCD_READER_0);
    ASSERT_TRUE(connection.ok());

    pcsc::ReaderState state;
    state.reader_name = VPCD_READER_0;
    ASSERT_EQ(pcsc::get_status_change(context.get(), 0, &state, 1), pcsc::SUCCESS);
    ASSERT_NE(state.event_state & STATE_PRESENT, 0u);

    card().remove();
    EXPECT_FALSE(card().inserted());
    state.current_state = state.event_state & ~STATE_CHANGED;
    std::int32_t status = pcsc::E_TIMEOUT;
    for (int round = 0; round < 40 && status == pcsc::E_TIMEOUT; ++round) {
        status = pcsc::get_status_change(context.get(), 250, &state, 1);
    }
    ASSERT_EQ(status, pcsc::SUCCESS);
    EXPECT_NE(state.event_state & STATE_EMPTY, 0u);
    EXPECT_NE(state.event_state & STATE_CHANGED, 0u);
    EXPECT_EQ(state.atr_length, 0u);

    constexpr std::int32_t REMOVED_CARD = static_cast<std::int32_t>(0x80100069u);
    connection.transmit(SELECT_AID, &status);
    EXPECT_EQ(status, REMOVED_CARD);
}

TEST_F(TestBedSmoke, T0CardIsConnectedUnderT0) {
    card().set_atr(VirtualCard::t0_atr());
    card().respond(SELECT_AID, hex("61 10"));
    insert_card();
    PcscContext context;
    PcscConnection connection(context.get(), VPCD_READER_0);
    ASSERT_TRUE(connection.ok());
    EXPECT_EQ(connection.protocol(), PROTOCOL_T0);
    EXPECT_EQ(to_hex(connection.transmit(SELECT_AID)), "6110");
}

TEST_F(TestBedSmoke, EachReaderHasItsOwnCard) {
    card(VPCD_PORT_0).set_default_response(hex("6A 82"));
    card(VPCD_PORT_1).set_default_response(hex("69 85"));
    insert_card(VPCD_PORT_0);
    insert_card(VPCD_PORT_1);
    PcscContext context;
    PcscConnection first(context.get(), VPCD_READER_0);
    PcscConnection second(context.get(), VPCD_READER_1);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(to_hex(first.transmit(SELECT_AID)), "6A82");
    EXPECT_EQ(to_hex(second.transmit(SELECT_AID)), "6985");
}

TEST_F(TestBedSmoke, CancelEndsAPendingStatusWait) {
    PcscContext waiting;
    pcsc::ReaderState state;
    state.reader_name = VPCD_READER_0;
    ASSERT_EQ(pcsc::get_status_change(waiting.get(), 0, &state, 1), pcsc::SUCCESS);
    state.current_state = state.event_state & ~STATE_CHANGED;

    // A cancel that arrives before the wait begins is lost, so it is repeated until the
    // wait has ended (each attempt bounded; the wait itself ends after 20 s at the latest).
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        for (int attempt = 0; attempt < 400 && !done.load(); ++attempt) {
            pcsc::cancel(waiting.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const std::int32_t status = pcsc::get_status_change(waiting.get(), 20000, &state, 1);
    done.store(true);
    canceller.join();
    EXPECT_EQ(status, pcsc::E_CANCELLED);
}

TEST_F(TestBedSmoke, UnchangedStateRunsIntoTheTimeout) {
    PcscContext context;
    pcsc::ReaderState state;
    state.reader_name = VPCD_READER_1;
    ASSERT_EQ(pcsc::get_status_change(context.get(), 0, &state, 1), pcsc::SUCCESS);
    state.current_state = state.event_state & ~STATE_CHANGED;
    EXPECT_EQ(pcsc::get_status_change(context.get(), 100, &state, 1), pcsc::E_TIMEOUT);
}

TEST_F(TestBedSmoke, PcscdRestartDropsTheCardAndServesAgain) {
    insert_card();
    PcscContext old_context;
    ASSERT_TRUE(old_context.ok());

    ASSERT_TRUE(PcscdService::stop());
    EXPECT_FALSE(PcscdService::answers());
    for (int round = 0; round < 200 && card().inserted(); ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(card().inserted()) << "vpcd went away but the card did not notice";

    std::string why;
    ASSERT_TRUE(PcscdService::ensure_running(PcscdService::DEFAULT_TIMEOUT, &why)) << why;
    // pcsc-lite checks a context's validity in the client library alone, so the old context
    // still passes is_valid_context; anything that reaches the new daemon fails.
    std::uint32_t length = 0;
    EXPECT_NE(pcsc::list_readers(old_context.get(), nullptr, length), pcsc::SUCCESS);

    insert_card();
    PcscContext context;
    PcscConnection connection(context.get(), VPCD_READER_0);
    ASSERT_TRUE(connection.ok()) << std::hex << connection.status();
}

// Not a timed assertion: prints the mean round trip of one APDU through pcsc-lite, pcscd,
// vpcd and the card, to show when the socket options of the card are missing (~40 ms).
TEST_F(TestBedSmoke, ReportsApduRoundTripTime) {
    card().respond(SELECT_AID, SELECT_ANSWER);
    insert_card();
    PcscContext context;
    PcscConnection connection(context.get(), VPCD_READER_0);
    ASSERT_TRUE(connection.ok());

    constexpr int ROUNDS = 500;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < ROUNDS; ++i) {
        ASSERT_EQ(connection.transmit(SELECT_AID), SELECT_ANSWER);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const double microseconds = std::chrono::duration<double, std::micro>(elapsed).count() / ROUNDS;
    RecordProperty("apdu_round_trip_us", std::to_string(microseconds));
    std::printf("[ testbed  ] mean APDU round trip: %.1f us over %d APDUs\n", microseconds, ROUNDS);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
