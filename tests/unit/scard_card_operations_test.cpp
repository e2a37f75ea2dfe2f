// Card connection, status and transactions on the fake service: what each call passes,
// the two status calls, the state translation and the bounds on the ATR and the name.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scard/smartcard_operations.h"
#include "unit/scard_test_support.h"

namespace Vorn_SCard_Bridge::fake {
namespace {

using ::testing::ElementsAre;

constexpr std::int32_t CONTEXT = DEFAULT_CONTEXT;
constexpr std::int32_t CARD = 0x12345678;
const std::string REMOVED =
    "The smart card has been removed, so further communication is not possible";

class ScardCardOperations : public FakeServiceTest {};

// --- connect -----------------------------------------------------------------------------

TEST_F(ScardCardOperations, ConnectPassesItsArgumentsAndAnswersHandleAndProtocol) {
    service.next(Fn::CONNECT, {.handle = CARD, .protocol = PROTOCOL_T1});
    EXPECT_THAT(handle_smartcard_connect(CONTEXT, "Reader A", 2, 3),
                ElementsAre("0x00000000", "0x0A0B0C0D", "0x12345678", "0x00000002"));

    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].fn, Fn::IS_VALID_CONTEXT);
    EXPECT_EQ(calls[0].context, CONTEXT);
    EXPECT_EQ(calls[1].fn, Fn::CONNECT);
    EXPECT_EQ(calls[1].context, CONTEXT);
    EXPECT_EQ(calls[1].reader_name, "Reader A");
    EXPECT_EQ(calls[1].share_mode, 2u);
    EXPECT_EQ(calls[1].preferred_protocols, 3u);
}

TEST_F(ScardCardOperations, ConnectOnAnInvalidContextNeverReachesTheService) {
    service.next(Fn::IS_VALID_CONTEXT, {.status = pcsc::E_INVALID_HANDLE});
    const VornSCardException e =
        scard_failure([] { handle_smartcard_connect(CONTEXT, "Reader A", 2, 3); });
    EXPECT_EQ(e.error_code, pcsc::E_INVALID_HANDLE);
    EXPECT_EQ(e.message, "Error in handle_smartcard_connect: Context is no longer valid");
    EXPECT_EQ(service.call_count(Fn::CONNECT), 0u);
}

TEST_F(ScardCardOperations, ConnectToAnUnknownReaderFails) {
    const VornSCardException e =
        scard_failure([] { handle_smartcard_connect(CONTEXT, "Nowhere", 2, 3); });
    EXPECT_EQ(e.error_code, E_UNKNOWN_READER);
    EXPECT_EQ(e.message,
              "Error in handle_smartcard_connect: The specified reader name is not recognized");
}

// Two readers whose Latin-1 names a plain replacement would show alike: each is listed
// in its own form, and that form connects to it and to no other.
TEST_F(ScardCardOperations, ReadersThatWouldShowAlikeAreEachReachedByTheirListedName) {
    const std::vector<std::string> readers = {"Lecteur \xE9 00 00", "Lecteur \xE8 00 00",
                                              "Lecteur \uFFFD 00 00"};
    service.set_readers(readers);
    const ResultList listed = handle_smartcard_list_readers_array(CONTEXT);
    ASSERT_THAT(listed, ElementsAre("0x00000000", "Lecteur \uFFFDE9 00 00",
                                    "Lecteur \uFFFDE8 00 00", "Lecteur \uFFFD\uFFFD 00 00"));
    for (std::size_t i = 1; i < listed.size(); ++i) {
        service.next(Fn::CONNECT, {.handle = CARD, .protocol = PROTOCOL_T1});
        handle_smartcard_connect(CONTEXT, listed[i], 2, 3);
        EXPECT_EQ(service.calls(Fn::CONNECT).at(i - 1).reader_name, readers.at(i - 1));
    }
}

// --- reconnect, disconnect and transactions ----------------------------------------------

TEST_F(ScardCardOperations, ReconnectPassesItsValuesUncheckedAndEchoesTheContext) {
    service.next(Fn::RECONNECT, {.protocol = PROTOCOL_T0});
    // Neither the context nor the share mode is looked at: both go back as they came.
    EXPECT_THAT(handle_smartcard_reconnect(-1, CARD, 9, 3, 1),
                ElementsAre("0x00000000", "0xFFFFFFFF", "0x12345678", "0x00000001"));
    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].fn, Fn::RECONNECT);
    EXPECT_EQ(calls[0].card, CARD);
    EXPECT_EQ(calls[0].share_mode, 9u);
    EXPECT_EQ(calls[0].preferred_protocols, 3u);
    EXPECT_EQ(calls[0].initialization, 1u);
}

TEST_F(ScardCardOperations, DisconnectPassesTheDispositionAndEchoesBothHandles) {
    service.next(Fn::DISCONNECT, {});
    EXPECT_THAT(handle_smartcard_disconnect(CONTEXT, CARD, 3),
                ElementsAre("0x00000000", "0x0A0B0C0D", "0x12345678"));
    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].card, CARD);
    EXPECT_EQ(calls[0].disposition, 3u);
}

TEST_F(ScardCardOperations, TransactionsPassOnlyTheCard) {
    service.next(Fn::BEGIN_TRANSACTION, {});
    service.next(Fn::END_TRANSACTION, {});
    EXPECT_THAT(handle_smartcard_begin_transaction(CONTEXT, CARD), ElementsAre("0x00000000"));
    EXPECT_THAT(handle_smartcard_end_transaction(CONTEXT, CARD, 1), ElementsAre("0x00000000"));
    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].fn, Fn::BEGIN_TRANSACTION);
    EXPECT_EQ(calls[0].card, CARD);
    EXPECT_EQ(calls[1].fn, Fn::END_TRANSACTION);
    EXPECT_EQ(calls[1].card, CARD);
    EXPECT_EQ(calls[1].disposition, 1u);
}

struct CardFailureCase {
    std::string name;
    Fn fn;
    std::function<void()> operation;
    std::int32_t status;
    std::string message;
};

class ScardCardFailure : public FakeServiceTest,
                         public ::testing::WithParamInterface<CardFailureCase> {};

TEST_P(ScardCardFailure, CarriesTheServicesStatusAndTheOperationsPrefix) {
    service.next(GetParam().fn, {.status = GetParam().status});
    const VornSCardException e = scard_failure(GetParam().operation);
    EXPECT_EQ(e.error_code, GetParam().status);
    EXPECT_EQ(e.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, ScardCardFailure,
    ::testing::ValuesIn(std::vector<CardFailureCase>{
        {"Connect", Fn::CONNECT, [] { handle_smartcard_connect(CONTEXT, "Reader A", 1, 3); },
         status_of(0x8010000B),
         "Error in handle_smartcard_connect: The smart card cannot be accessed because of other "
         "connections outstanding"},
        {"Reconnect", Fn::RECONNECT, [] { handle_smartcard_reconnect(CONTEXT, CARD, 2, 3, 0); },
         W_REMOVED_CARD, "Error in handle_smartcard_reconnect: " + REMOVED},
        {"Disconnect", Fn::DISCONNECT, [] { handle_smartcard_disconnect(CONTEXT, CARD, 0); },
         pcsc::E_INVALID_HANDLE,
         "Error in handle_smartcard_disconnect: The supplied handle was invalid"},
        {"BeginTransaction", Fn::BEGIN_TRANSACTION,
         [] { handle_smartcard_begin_transaction(CONTEXT, CARD); }, W_REMOVED_CARD,
         "Error in handle_smartcard_begin_transaction: " + REMOVED},
        {"EndTransaction", Fn::END_TRANSACTION,
         [] { handle_smartcard_end_transaction(CONTEXT, CARD, 0); }, E_NOT_TRANSACTED,
         "Error in handle_smartcard_end_transaction: An attempt was made to end a non-existent "
         "transaction"},
    }),
    [](const auto& info) { return info.param.name; });

// --- status ------------------------------------------------------------------------------

class ScardCardStatus : public FakeServiceTest {
protected:
    // The two answers of a status: the name length first, then the name, state and ATR.
    void script(const Bytes& name, std::uint32_t state, const Bytes& atr,
                std::uint32_t atr_length) {
        const auto name_length = static_cast<std::uint32_t>(name.size());
        service.next(Fn::STATUS, {.length = name_length,
                                  .protocol = PROTOCOL_T1,
                                  .state = state,
                                  .atr_length = atr_length});
        service.next(Fn::STATUS, {.length = name_length,
                                  .bytes = name,
                                  .protocol = PROTOCOL_T1,
                                  .state = state,
                                  .atr = atr,
                                  .atr_length = atr_length});
    }
};

TEST_F(ScardCardStatus, FirstCallAsksForLengthsThenSecondPassesBuffersOfThoseLengths) {
    const Bytes name = c_string("Reader A");
    script(name, 0x34, default_atr(), 20);
    EXPECT_THAT(handle_smartcard_status(CONTEXT, CARD),
                ElementsAre("0x00000000", "0x0A0B0C0D", "0x12345678", "Reader A", "0x00000006",
                            "0x00000002", "3B8F8001804F0CA000000306030001000000006A"));

    const auto calls = service.calls(Fn::STATUS);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].card, CARD);
    EXPECT_TRUE(calls[0].buffer_null);
    EXPECT_EQ(calls[0].length, 0u);
    EXPECT_TRUE(calls[0].atr_null);
    EXPECT_EQ(calls[0].atr_length, 33u);
    EXPECT_FALSE(calls[1].buffer_null);
    EXPECT_EQ(calls[1].length, name.size());
    EXPECT_FALSE(calls[1].atr_null);
    // The ATR length as the first call left it.
    EXPECT_EQ(calls[1].atr_length, 20u);
}

TEST_F(ScardCardStatus, InvalidContextNeverReachesTheService) {
    service.next(Fn::IS_VALID_CONTEXT, {.status = pcsc::E_INVALID_HANDLE});
    const VornSCardException e = scard_failure([] { handle_smartcard_status(CONTEXT, CARD); });
    EXPECT_EQ(e.error_code, pcsc::E_INVALID_HANDLE);
    EXPECT_EQ(e.message, "Error in handle_smartcard_status: Context is no longer valid");
    EXPECT_EQ(service.call_count(Fn::STATUS), 0u);
}

TEST_F(ScardCardStatus, NameLengthZeroAnswersAtOnceWithoutNameOrAtr) {
    service.next(Fn::STATUS,
                 {.length = 0, .protocol = PROTOCOL_T1, .state = 0x34, .atr_length = 20});
    // State and protocol of the first call, untranslated.
    EXPECT_THAT(
        handle_smartcard_status(CONTEXT, CARD),
        ElementsAre("0x00000000", "0x0A0B0C0D", "0x12345678", "", "0x00000034", "0x00000002", ""));
    EXPECT_EQ(service.call_count(Fn::STATUS), 1u);
}

TEST_F(ScardCardStatus, FailureOfEitherCallCarriesTheServicesStatus) {
    service.next(Fn::STATUS, {.status = W_REMOVED_CARD});
    VornSCardException e = scard_failure([] { handle_smartcard_status(CONTEXT, CARD); });
    EXPECT_EQ(e.error_code, W_REMOVED_CARD);
    EXPECT_EQ(e.message, "Error in handle_smartcard_status: " + REMOVED);

    service.next(Fn::STATUS, {.length = 9});
    service.next(Fn::STATUS, {.status = W_REMOVED_CARD});
    e = scard_failure([] { handle_smartcard_status(CONTEXT, CARD); });
    EXPECT_EQ(e.error_code, W_REMOVED_CARD);
    EXPECT_EQ(e.message, "Error in handle_smartcard_status: " + REMOVED);
}

struct StateCase {
    std::string name;
    std::uint32_t state;
    std::uint32_t atr_length;
    std::string reported;
};

class ScardStatusState : public ScardCardStatus, public ::testing::WithParamInterface<StateCase> {};

TEST_P(ScardStatusState, PoweredCardWithAnAtrIsReportedAsSpecific) {
    script(c_string("Reader A"), GetParam().state, Bytes(GetParam().atr_length, 0x3B),
           GetParam().atr_length);
    EXPECT_EQ(handle_smartcard_status(CONTEXT, CARD).at(4), GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(States, ScardStatusState,
                         ::testing::ValuesIn(std::vector<StateCase>{
                             {"PoweredWithAtr", 0x34, 19, "0x00000006"},
                             {"OnlyPoweredBitWithAtr", 0x10, 1, "0x00000006"},
                             {"PoweredSpecificWithAtr", 0x54, 20, "0x00000006"},
                             {"PoweredWithoutAtr", 0x14, 0, "0x00000014"},
                             {"PresentUnpoweredWithAtr", 0x24, 20, "0x00000024"},
                             {"AbsentWithoutAtr", 0x02, 0, "0x00000002"},
                             {"HighBitsKeptWhenNotTranslated", 0x80000004, 20, "0x80000004"},
                         }),
                         [](const auto& info) { return info.param.name; });

TEST_F(ScardCardStatus, NineteenByteAtrGivesThirtyEightCharacters) {
    script(c_string("Reader A"), 0x34, Bytes(19, 0x5A), 19);
    std::string expected;
    for (int i = 0; i < 19; ++i) expected += "5A";
    EXPECT_EQ(handle_smartcard_status(CONTEXT, CARD).at(6), expected);
}

// Lengths reported beyond our buffers are not trusted.
TEST_F(ScardCardStatus, AtrLengthAboveThirtyThreeIsCutToTheBuffer) {
    Bytes atr(33);
    for (std::size_t i = 0; i < atr.size(); ++i) atr[i] = static_cast<std::uint8_t>(i);
    script(c_string("Reader A"), 0x34, atr, 40);
    const std::string text = handle_smartcard_status(CONTEXT, CARD).at(6);
    EXPECT_EQ(text.size(), 66u);
    EXPECT_EQ(text.substr(0, 6), "000102");
    EXPECT_EQ(text.substr(60), "1E1F20");
}

TEST_F(ScardCardStatus, NameWithoutNulEndsAtTheEndOfItsBuffer) {
    const std::string unterminated = "Reader A";
    script(Bytes(unterminated.begin(), unterminated.end()), 0x34, default_atr(), 20);
    EXPECT_EQ(handle_smartcard_status(CONTEXT, CARD).at(3), "Reader A");
}

TEST_F(ScardCardStatus, MultiStringOfNamesReportsTheFirst) {
    script(multi_string({"Reader A", "Reader A alias"}), 0x34, default_atr(), 20);
    EXPECT_EQ(handle_smartcard_status(CONTEXT, CARD).at(3), "Reader A");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::fake
