// Card and data commands through the host binary, against the real pcscd, its vpcd readers
// and the virtual card: what the extension sees and what the card receives.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "e2e/host_answers.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "fixtures/virtual_card.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

const std::string SELECT = "00A4040007A0000002471001";
const Bytes SELECT_ANSWER = hex("6F 0A 84 08 A0 00 00 02 47 10 01 01 90 00");
// A bare 4-byte header (no data, no Le): the card answers with its status word only.
const std::string READ_NOTHING = "00B00004";
// Short Le 00: 256 bytes.
const std::string READ_256 = "00B0000000";
// Extended Le 0000: as much as the card has.
const std::string READ_EXTENDED = "00B00000000000";

const std::string REMOVED =
    "The smart card has been removed, so further communication is not possible";
const std::string UNSUPPORTED = "This smart card does not support the requested feature";

class CardDataCommands : public PcscTestBed {
protected:
    // Inserts the card of the first reader and connects to it through the host (shared, T=0
    // or T=1), leaving context_ and card_ set.
    void connect_first_reader() {
        insert_card(VPCD_PORT_0);
        context_ = establish_context(host);
        ASSERT_FALSE(context_.empty());
        card_ = connect_card(host, context_, VPCD_READER_0);
        ASSERT_FALSE(card_.empty());
    }

    Answer transmit(const std::string& data, std::uint32_t protocol = 2) {
        return ask(host, "transmit", json::array({context_, card_, protocol, data}));
    }

    HostProcess host;
    std::string context_;
    std::string card_;
};

// --- Connect, status, transmit, transactions, reconnect, disconnect --------------------

TEST_F(CardDataCommands, ConnectToT1CardAnswersWithTheCardHandleAndProtocolT1) {
    insert_card(VPCD_PORT_0);
    const std::string context = establish_context(host);
    const Answer answer =
        ask(host, "connect", json::array({context, VPCD_READER_0, SHARE_SHARED, 3}));
    EXPECT_EQ(answer.status, "success");
    EXPECT_THAT(answer.strings(),
                ElementsAre("0x00000000", context, MatchesRegex("0x[0-9A-F]{8}"), "0x00000002"));
}

TEST_F(CardDataCommands, ConnectToT0CardAnswersWithProtocolT0AndTransmitsUnderIt) {
    card().set_atr(VirtualCard::t0_atr());
    card().respond(hex(SELECT), hex("9000"));
    insert_card(VPCD_PORT_0);
    const std::string context = establish_context(host);
    const Answer connected =
        ask(host, "connect", json::array({context, VPCD_READER_0, SHARE_SHARED, 3}));
    ASSERT_EQ(connected.status, "success") << connected.result.dump();
    const std::string handle = connected.strings().at(2);
    EXPECT_EQ(connected.strings().at(3), "0x00000001");

    EXPECT_EQ(ask(host, "status", json::array({context, handle})),
              success({"0x00000000", context, handle, VPCD_READER_0, "0x00000006", "0x00000001",
                       "3B021450"}));
    EXPECT_EQ(ask(host, "transmit", json::array({context, handle, 1, SELECT})),
              success({"0x00000000", context, handle, "1", "9000"}));
    EXPECT_THAT(card().received(), ElementsAre(hex(SELECT)));
}

TEST_F(CardDataCommands, StatusShowsReaderSpecificStateProtocolAndAtr) {
    connect_first_reader();
    const Answer expected = success({"0x00000000", context_, card_, VPCD_READER_0, "0x00000006",
                                     "0x00000002", to_hex(VirtualCard::t1_atr())});
    EXPECT_EQ(ask(host, "status", json::array({context_, card_})), expected);
    EXPECT_EQ(ask(host, "status_unicode", json::array({context_, card_})), expected);
}

TEST_F(CardDataCommands, TransmitReturnsTheCardsResponsesOfEverySize) {
    card().respond(hex(SELECT), SELECT_ANSWER);
    card().respond(hex(READ_NOTHING), hex("9000"));
    card().respond(hex(READ_256), patterned_response(256));
    card().respond(hex(READ_EXTENDED), patterned_response(MAX_RESPONSE_DATA));
    connect_first_reader();

    EXPECT_EQ(transmit(SELECT),
              success({"0x00000000", context_, card_, "2", to_hex(SELECT_ANSWER)}));
    EXPECT_EQ(transmit(READ_NOTHING), success({"0x00000000", context_, card_, "2", "9000"}));
    EXPECT_EQ(transmit(READ_256),
              success({"0x00000000", context_, card_, "2", to_hex(patterned_response(256))}));
    EXPECT_EQ(transmit(READ_EXTENDED), success({"0x00000000", context_, card_, "2",
                                                to_hex(patterned_response(MAX_RESPONSE_DATA))}));

    EXPECT_THAT(card().received(),
                ElementsAre(hex(SELECT), hex(READ_NOTHING), hex(READ_256), hex(READ_EXTENDED)));
}

TEST_F(CardDataCommands, LowerCaseApduReachesTheCardAsTheSameBytes) {
    card().respond(hex(SELECT), hex("9000"));
    connect_first_reader();
    EXPECT_EQ(transmit("00a4040007a0000002471001"),
              success({"0x00000000", context_, card_, "2", "9000"}));
    EXPECT_THAT(card().received(), ElementsAre(hex(SELECT)));
}

TEST_F(CardDataCommands, TransactionBeginsAndEnds) {
    card().respond(hex(SELECT), hex("9000"));
    connect_first_reader();
    EXPECT_EQ(ask(host, "begin_transaction", json::array({context_, card_})),
              success({"0x00000000"}));
    EXPECT_EQ(transmit(SELECT), success({"0x00000000", context_, card_, "2", "9000"}));
    EXPECT_EQ(ask(host, "end_transaction", json::array({context_, card_, LEAVE_CARD})),
              success({"0x00000000"}));
}

TEST_F(CardDataCommands, EndingATransactionThatWasNeverBegunFails) {
    connect_first_reader();
    EXPECT_EQ(ask(host, "end_transaction", json::array({context_, card_, LEAVE_CARD})),
              failure("0x80100016",
                      "Error in handle_smartcard_end_transaction: An attempt was made to end a "
                      "non-existent transaction"));
}

TEST_F(CardDataCommands, ReconnectAndDisconnectEchoTheHandles) {
    connect_first_reader();
    EXPECT_EQ(ask(host, "reconnect", json::array({context_, card_, SHARE_SHARED, 3, LEAVE_CARD})),
              success({"0x00000000", context_, card_, "0x00000002"}));
    EXPECT_EQ(ask(host, "disconnect", json::array({context_, card_, LEAVE_CARD})),
              success({"0x00000000", context_, card_}));
    // The handle is gone with the connection.
    EXPECT_EQ(ask(host, "disconnect", json::array({context_, card_, LEAVE_CARD})),
              failure("0x80100003",
                      "Error in handle_smartcard_disconnect: The supplied handle was invalid"));
}

TEST_F(CardDataCommands, ReconnectWithResetPowersTheCardAgain) {
    connect_first_reader();
    EXPECT_EQ(ask(host, "reconnect", json::array({context_, card_, SHARE_SHARED, 3, RESET_CARD})),
              success({"0x00000000", context_, card_, "0x00000002"}));
    EXPECT_EQ(ask(host, "status", json::array({context_, card_})).strings().at(4), "0x00000006");
}

// --- A card that goes away, connections that cannot be made ----------------------------

TEST_F(CardDataCommands, CardRemovedBetweenRequestsIsReportedAndTheHostKeepsServing) {
    connect_first_reader();
    remove_card(VPCD_PORT_0);

    EXPECT_EQ(ask(host, "status", json::array({context_, card_})),
              failure("0x80100069", "Error in handle_smartcard_status: " + REMOVED));
    EXPECT_EQ(transmit(SELECT),
              failure("0x80100069", "Error in handle_smartcard_transmit: " + REMOVED));
    EXPECT_EQ(ask(host, command("healthcheck")), success({"OK"}));
    EXPECT_EQ(ask(host, "disconnect", json::array({context_, card_, LEAVE_CARD})),
              success({"0x00000000", context_, card_}));
}

TEST_F(CardDataCommands, CardRemovedDuringATransactionIsReportedAndTheHostKeepsServing) {
    connect_first_reader();
    ASSERT_EQ(ask(host, "begin_transaction", json::array({context_, card_})),
              success({"0x00000000"}));
    remove_card(VPCD_PORT_0);

    EXPECT_EQ(transmit(SELECT),
              failure("0x80100069", "Error in handle_smartcard_transmit: " + REMOVED));
    EXPECT_EQ(ask(host, "end_transaction", json::array({context_, card_, LEAVE_CARD})),
              failure("0x80100069", "Error in handle_smartcard_end_transaction: " + REMOVED));
    EXPECT_EQ(ask(host, command("healthcheck")), success({"OK"}));
}

TEST_F(CardDataCommands, ConnectToAnUnknownReaderIsRefused) {
    const std::string context = establish_context(host);
    EXPECT_EQ(ask(host, "connect", json::array({context, "No Such Reader 00 00", SHARE_SHARED, 3})),
              failure("0x80100009",
                      "Error in handle_smartcard_connect: The specified reader name is not "
                      "recognized"));
}

TEST_F(CardDataCommands, SecondExclusiveConnectIsASharingViolation) {
    insert_card(VPCD_PORT_0);
    const std::string first = establish_context(host);
    const std::string second = establish_context(host);
    ASSERT_FALSE(connect_card(host, first, VPCD_READER_0, SHARE_EXCLUSIVE).empty());
    EXPECT_EQ(ask(host, "connect", json::array({second, VPCD_READER_0, SHARE_EXCLUSIVE, 3})),
              failure("0x8010000B",
                      "Error in handle_smartcard_connect: The smart card cannot be accessed "
                      "because of other connections outstanding"));
}

TEST_F(CardDataCommands, ConnectOnAReleasedContextIsRefusedBeforeTheService) {
    insert_card(VPCD_PORT_0);
    const std::string context = establish_context(host);
    ASSERT_EQ(ask(host, "release_context", json::array({context})), success({"0x00000000"}));
    EXPECT_EQ(
        ask(host, "connect", json::array({context, VPCD_READER_0, SHARE_SHARED, 3})),
        failure("0x80100003", "Error in handle_smartcard_connect: Context is no longer valid"));
}

TEST_F(CardDataCommands, StatusOnAReleasedContextIsRefused) {
    connect_first_reader();
    ASSERT_EQ(ask(host, "release_context", json::array({context_})), success({"0x00000000"}));
    EXPECT_EQ(
        ask(host, "status", json::array({context_, card_})),
        failure("0x80100003", "Error in handle_smartcard_status: Context is no longer valid"));
}

// --- Data that never reaches the card --------------------------------------------------

TEST_F(CardDataCommands, MalformedApdusAreRejectedWithoutReachingTheCard) {
    connect_first_reader();
    struct Rejection {
        std::string data;
        Answer expected;
    };
    const std::vector<Rejection> rejections = {
        {"00A404", success({"error", "APDU command too short (minimum 4 bytes required)"})},
        {"00A4G400", success({"error", "Invalid hex character in data"})},
        {"00A4 400", success({"error", "Invalid hex character in data"})},
        {"", general_error("Invalid hex string at offset: preview=''")},
        {"00A", general_error("Invalid hex string at offset: preview='00A'")},
        {std::string(131074, '0'),
         general_error("Transmit data exceeds maximum size. Data was 131074 characters")},
    };
    for (const auto& rejection : rejections) {
        EXPECT_EQ(transmit(rejection.data), rejection.expected)
            << "data: " << rejection.data.substr(0, 16);
    }
    EXPECT_THAT(card().received(), IsEmpty());
}

// vpcd cannot carry a 65536-byte command to the card: the service fails the exchange and the
// card drops out, so this test ends here.
TEST_F(CardDataCommands, LargestAllowedApduReachesTheService) {
    connect_first_reader();
    const Answer answer = transmit(std::string(131072, '0'));
    EXPECT_EQ(answer.status, "error");
    ASSERT_EQ(answer.strings().size(), 2u) << answer.result.dump();
    EXPECT_NE(answer.strings()[0], GENERAL_ERROR);
    EXPECT_THAT(answer.strings()[1], StartsWith("Error in handle_smartcard_transmit: "));
    RecordProperty("service_answer", answer.result.dump());
}

// --- Control and attributes --------------------------------------------------------------

TEST_F(CardDataCommands, ControlInputIsLimitedTo4096CharactersAndVpcdSupportsNoControlCode) {
    connect_first_reader();
    constexpr std::uint32_t GET_FEATURE_REQUEST = 0x42000D48;
    EXPECT_EQ(ask(host, "control",
                  json::array({context_, card_, GET_FEATURE_REQUEST, std::string(4096, '0')})),
              failure("0x8010001F", "Error in handle_smartcard_control: " + UNSUPPORTED));
    EXPECT_EQ(ask(host, "control",
                  json::array({context_, card_, GET_FEATURE_REQUEST, std::string(4098, '0')})),
              general_error("Hex input too long: length=4098"));
    EXPECT_EQ(ask(host, "control", json::array({context_, card_, GET_FEATURE_REQUEST, ""})),
              failure("0x8010001F", "Error in handle_smartcard_control: " + UNSUPPORTED));
}

TEST_F(CardDataCommands, AttributeTheReaderSupportsComesBackAsHex) {
    connect_first_reader();
    // pcsc-lite hands the id to the driver unchanged; vpcd answers its ATR tag.
    constexpr std::uint32_t IFD_ATR = 0x0303;
    EXPECT_EQ(
        ask(host, "get_attrib", json::array({context_, card_, IFD_ATR})),
        success({"0x00000000", context_, card_, "0x00000303", to_hex(VirtualCard::t1_atr())}));
}

TEST_F(CardDataCommands, AttributeTheReaderDoesNotSupportIsTheServicesError) {
    connect_first_reader();
    constexpr std::uint32_t ATR_STRING = 0x00090303;
    EXPECT_EQ(ask(host, "get_attrib", json::array({context_, card_, ATR_STRING})),
              failure("0x8010001F", "Error in handle_smartcard_get_attrib: " + UNSUPPORTED));
}

// --- Parameter checks, one host for the whole table --------------------------------------

class CardDataChecks : public CommandChecks {};

TEST_P(CardDataChecks, AnswersExactly) {
    EXPECT_EQ(ask(*host, GetParam().request), GetParam().expected);
}

// Handles that the service never handed out: where a case passes every check, the
// service's refusal shows that it got that far.
const std::string CTX = "0x00000001";
const std::string CARD = "0x00000002";
const std::string NAME_256(256, 'R');
const std::string NAME_257(257, 'R');
const std::string INVALID_HANDLE = "The supplied handle was invalid";

template <typename... Values>
json params(Values&&... values) {
    return json::array({json(std::forward<Values>(values))...});
}

const std::vector<CommandCase> CARD_CASES = {
    {"ConnectWithoutParams", command("connect"),
     general_error("Insufficient parameters for connect")},
    {"ConnectWithThreeParams", command("connect", params(CTX, "r", 2)),
     general_error("Insufficient parameters for connect")},
    {"ConnectWithEmptyContext", command("connect", params("", "r", 2, 3)),
     general_error("Empty parameter(s) for connect")},
    {"ConnectWithEmptyReaderBeforeShareMode", command("connect", params(CTX, "", 9, 3)),
     general_error("Empty parameter(s) for connect")},
    {"ConnectWithReader257BeforeShareMode", command("connect", params(CTX, NAME_257, 9, 3)),
     general_error("Reader name exceeds maximum length")},
    {"ConnectWithShareMode4", command("connect", params(CTX, "r", 4, 3)),
     general_error("Invalid share_mode value: 4")},
    {"ConnectWithShareModeAsText", command("connect", params(CTX, "r", "2", 3)),
     general_error(NUMBER_EXPECTED)},
    {"ConnectWithShareMode3ReachesTheOperation", command("connect", params(CTX, "r", 3, 3)),
     failure("0x80100003", "Error in handle_smartcard_connect: Context is no longer valid")},
    {"ConnectWithReader256ReachesTheOperation", command("connect", params(CTX, NAME_256, 0, 3)),
     failure("0x80100003", "Error in handle_smartcard_connect: Context is no longer valid")},
    {"ReconnectWithFourParams", command("reconnect", params(CTX, CARD, 2, 3)),
     general_error("Insufficient parameters for reconnect")},
    {"ReconnectWithEmptyContext", command("reconnect", params("", CARD, 2, 3, 0)),
     general_error("Empty parameter(s) for reconnect")},
    {"ReconnectWithEmptyCard", command("reconnect", params(CTX, "", 2, 3, 0)),
     general_error("Empty parameter(s) for reconnect")},
    {"ReconnectPassesShareMode9On", command("reconnect", params(CTX, CARD, 9, 3, 0)),
     failure("0x80100003", "Error in handle_smartcard_reconnect: " + INVALID_HANDLE)},
    {"DisconnectWithTwoParams", command("disconnect", params(CTX, CARD)),
     general_error("Insufficient parameters for disconnect")},
    {"DisconnectWithEmptyCard", command("disconnect", params(CTX, "", 0)),
     general_error("Empty parameter(s) for disconnect")},
    {"DisconnectWithDispositionAsText", command("disconnect", params(CTX, CARD, "0")),
     general_error(NUMBER_EXPECTED)},
    {"DisconnectOfUnknownCard", command("disconnect", params(CTX, CARD, 0)),
     failure("0x80100003", "Error in handle_smartcard_disconnect: " + INVALID_HANDLE)},
    {"BeginWithOneParam", command("begin_transaction", params(CTX)),
     general_error("Insufficient parameters for begin_transaction")},
    {"BeginWithEmptyCard", command("begin_transaction", params(CTX, "")),
     general_error("Empty parameter(s) for begin_transaction")},
    {"BeginWithCardWithoutHexDigits", command("begin_transaction", params(CTX, "zz")),
     general_error("Error converting string 'zz' to hex value: stoull")},
    {"BeginConvertsTheContextFirst", command("begin_transaction", params("yy", "zz")),
     general_error("Error converting string 'yy' to hex value: stoull")},
    {"BeginOfUnknownCard", command("begin_transaction", params(CTX, CARD)),
     failure("0x80100003", "Error in handle_smartcard_begin_transaction: " + INVALID_HANDLE)},
    {"EndWithTwoParams", command("end_transaction", params(CTX, CARD)),
     general_error("Insufficient parameters for end_transaction")},
    {"EndWithEmptyContext", command("end_transaction", params("", CARD, 0)),
     general_error("Empty parameter(s) for end_transaction")},
    {"StatusWithOneParam", command("status", params(CTX)),
     general_error("Insufficient parameters for status")},
    {"StatusUnicodeWithOneParam", command("status_unicode", params(CTX)),
     general_error("Insufficient parameters for status")},
    {"StatusWithEmptyCard", command("status", params(CTX, "")),
     general_error("Empty parameter(s) for status")},
    {"StatusOfUnknownContext", command("status", params(CTX, CARD)),
     failure("0x80100003", "Error in handle_smartcard_status: Context is no longer valid")},
};
INSTANTIATE_TEST_SUITE_P(Card, CardDataChecks, ::testing::ValuesIn(CARD_CASES), case_name);

const std::vector<CommandCase> DATA_CASES = {
    {"TransmitWithThreeParams", command("transmit", params(CTX, CARD, 2)),
     general_error("Insufficient parameters for transmit")},
    {"TransmitWithEmptyContext", command("transmit", params("", CARD, 2, "00A40400")),
     general_error("Empty parameter(s) for transmit")},
    {"TransmitWithEmptyCard", command("transmit", params(CTX, "", 2, "00A40400")),
     general_error("Empty parameter(s) for transmit")},
    {"TransmitWithProtocolAsText", command("transmit", params(CTX, CARD, "2", "00A40400")),
     general_error(NUMBER_EXPECTED)},
    {"TransmitWithDataAsNumber", command("transmit", params(CTX, CARD, 2, 5)),
     general_error(STRING_EXPECTED)},
    {"TransmitOf131073Characters",
     command("transmit", params(CTX, CARD, 2, std::string(131073, '0'))),
     general_error("Transmit data exceeds maximum size. Data was 131073 characters")},
    {"TransmitSizeIsCheckedBeforeHandlesAreConverted",
     command("transmit", params("zz", "zz", 2, std::string(131073, '0'))),
     general_error("Transmit data exceeds maximum size. Data was 131073 characters")},
    {"TransmitOf131072CharactersReachesTheService",
     command("transmit", params(CTX, CARD, 2, std::string(131072, '0'))),
     failure("0x80100003", "Error in handle_smartcard_transmit: " + INVALID_HANDLE)},
    {"TransmitOfFourBytesReachesTheService", command("transmit", params(CTX, CARD, 2, "00A40400")),
     failure("0x80100003", "Error in handle_smartcard_transmit: " + INVALID_HANDLE)},
    {"TransmitOfThreeBytes", command("transmit", params(CTX, CARD, 2, "00A404")),
     success({"error", "APDU command too short (minimum 4 bytes required)"})},
    {"TransmitOfEmptyData", command("transmit", params(CTX, CARD, 2, "")),
     general_error("Invalid hex string at offset: preview=''")},
    {"TransmitOfOddLength", command("transmit", params(CTX, CARD, 2, "00A")),
     general_error("Invalid hex string at offset: preview='00A'")},
    {"TransmitOfNonHexCharacter", command("transmit", params(CTX, CARD, 2, "00A4G400")),
     success({"error", "Invalid hex character in data"})},
    {"ControlWithThreeParams", command("control", params(CTX, CARD, 3400)),
     general_error("Insufficient parameters for control")},
    {"ControlWithEmptyCard", command("control", params(CTX, "", 1, "00")),
     general_error("Empty parameter(s) for control")},
    {"ControlWithCodeAsHexText", command("control", params(CTX, CARD, "0x42000D48", "00")),
     general_error(NUMBER_EXPECTED)},
    {"ControlOf131073Characters",
     command("control", params(CTX, CARD, 1, std::string(131073, '0'))),
     general_error("Control data exceeds maximum size. Data was 131073 characters")},
    {"ControlOf4098Characters", command("control", params(CTX, CARD, 1, std::string(4098, '0'))),
     general_error("Hex input too long: length=4098")},
    {"ControlOfOdd4097CharactersFailsOnLength",
     command("control", params(CTX, CARD, 1, std::string(4097, '0'))),
     general_error("Hex input too long: length=4097")},
    {"ControlOfEmptyDataReachesTheService", command("control", params(CTX, CARD, 1, "")),
     failure("0x80100003", "Error in handle_smartcard_control: " + INVALID_HANDLE)},
    {"ControlOfNonHexCharacter", command("control", params(CTX, CARD, 1, "00G0")),
     general_error("Invalid hex string at offset: preview='00G0'")},
    {"ControlOf4096CharactersReachesTheService",
     command("control", params(CTX, CARD, 1, std::string(4096, '0'))),
     failure("0x80100003", "Error in handle_smartcard_control: " + INVALID_HANDLE)},
    {"GetAttribWithTwoParams", command("get_attrib", params(CTX, CARD)),
     general_error("Insufficient parameters for get_attrib")},
    {"GetAttribWithEmptyCard", command("get_attrib", params(CTX, "", 0x0303)),
     general_error("Empty parameter(s) for get_attrib")},
    {"GetAttribWithIdAsTextBeforeEmptyCard", command("get_attrib", params(CTX, "", "0x0303")),
     general_error(NUMBER_EXPECTED)},
    {"GetAttribOfUnknownCard", command("get_attrib", params(CTX, CARD, 0x0303)),
     failure("0x80100003", "Error in handle_smartcard_get_attrib: " + INVALID_HANDLE)},
};
INSTANTIATE_TEST_SUITE_P(Data, CardDataChecks, ::testing::ValuesIn(DATA_CASES), case_name);

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
