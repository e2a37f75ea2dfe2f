// Listing readers and groups and waiting for a change of reader state, on the fake service:
// the two-call sizing, the records handed to the wait and the lists made of the answers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "scard/smartcard_operations.h"
#include "unit/scard_test_support.h"

namespace Vorn_SCard_Bridge::fake {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;

constexpr std::int32_t CONTEXT = DEFAULT_CONTEXT;

// Listing readers and listing groups share their shape; each case names what differs.
struct ListingCase {
    std::string name;
    std::function<ResultList(const std::int32_t&)> operation;
    Fn fn;
    std::string prefix;
    bool validates_context;
};

class ScardListing : public FakeServiceTest, public ::testing::WithParamInterface<ListingCase> {
protected:
    ResultList list() { return GetParam().operation(CONTEXT); }
};

TEST_P(ScardListing, AsksForTheLengthThenFillsABufferOfExactlyThatLength) {
    const Bytes names = multi_string({"Reader A", "Reader B"});
    service.next(GetParam().fn, {.length = static_cast<std::uint32_t>(names.size())});
    service.next(GetParam().fn, {.bytes = names});

    EXPECT_THAT(list(), ElementsAre("0x00000000", "Reader A,Reader B"));

    const auto calls = service.calls(GetParam().fn);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].context, CONTEXT);
    EXPECT_TRUE(calls[0].buffer_null);
    EXPECT_EQ(calls[0].length, 0u);
    EXPECT_FALSE(calls[1].buffer_null);
    EXPECT_EQ(calls[1].length, names.size());
}

TEST_P(ScardListing, SuccessfulLengthOfZeroFailsCarryingTheSuccessStatus) {
    service.next(GetParam().fn, {.length = 0});
    const VornSCardException e = scard_failure([&] { list(); });
    EXPECT_EQ(e.error_code, 0);
    EXPECT_EQ(e.message, GetParam().prefix + "No error was encountered");
    EXPECT_EQ(service.call_count(GetParam().fn), 1u);
}

TEST_P(ScardListing, FailedLengthQueryCarriesTheServicesStatus) {
    service.next(GetParam().fn, {.status = E_NO_READERS_AVAILABLE, .length = 12});
    const VornSCardException e = scard_failure([&] { list(); });
    EXPECT_EQ(e.error_code, E_NO_READERS_AVAILABLE);
    EXPECT_EQ(e.message, GetParam().prefix + "Cannot find a smart card reader");
    EXPECT_EQ(service.call_count(GetParam().fn), 1u);
}

TEST_P(ScardListing, FailedSecondCallReturnsNoPartialList) {
    service.next(GetParam().fn, {.length = 19});
    service.next(GetParam().fn,
                 {.status = pcsc::E_INSUFFICIENT_BUFFER, .bytes = multi_string({"Reader A"})});
    const VornSCardException e = scard_failure([&] { list(); });
    EXPECT_EQ(e.error_code, pcsc::E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(e.message, GetParam().prefix +
                             "The data buffer to receive returned data is too small for the "
                             "returned data");
}

TEST_P(ScardListing, ListWithoutItsFinalNulEndsAtTheEndOfTheBuffer) {
    const std::string unterminated = "Reader A";
    service.next(GetParam().fn, {.length = static_cast<std::uint32_t>(unterminated.size())});
    service.next(GetParam().fn, {.bytes = Bytes(unterminated.begin(), unterminated.end())});
    EXPECT_THAT(list(), ElementsAre("0x00000000", "Reader A"));
}

TEST_P(ScardListing, SingleNameHasNoComma) {
    const Bytes names = multi_string({"Only One"});
    service.next(GetParam().fn, {.length = static_cast<std::uint32_t>(names.size())});
    service.next(GetParam().fn, {.bytes = names});
    EXPECT_THAT(list(), ElementsAre("0x00000000", "Only One"));
}

TEST_P(ScardListing, ContextIsValidatedOnlyWhenListingReaders) {
    service.next(Fn::IS_VALID_CONTEXT, {.status = pcsc::E_INVALID_HANDLE});
    if (GetParam().validates_context) {
        const VornSCardException e = scard_failure([&] { list(); });
        EXPECT_EQ(e.error_code, pcsc::E_INVALID_HANDLE);
        EXPECT_EQ(e.message, GetParam().prefix + "Context is no longer valid");
        EXPECT_EQ(service.call_count(GetParam().fn), 0u);
    } else {
        EXPECT_EQ(list().at(0), "0x00000000");
        EXPECT_EQ(service.call_count(Fn::IS_VALID_CONTEXT), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(ReadersAndGroups, ScardListing,
                         ::testing::ValuesIn(std::vector<ListingCase>{
                             {"Readers", handle_smartcard_list_readers, Fn::LIST_READERS,
                              "Error in handle_smartcard_list_readers: ", true},
                             {"Groups", handle_smartcard_list_reader_groups, Fn::LIST_READER_GROUPS,
                              "Error in handle_smartcard_list_reader_groups: ", false},
                         }),
                         [](const auto& info) { return info.param.name; });

class ScardListReaders : public FakeServiceTest {};

TEST_F(ScardListReaders, SecondCallGetsAZeroFilledBuffer) {
    const Bytes names = multi_string({"Reader A", "Reader B"});
    std::vector<std::vector<char>> handed_over;
    service.override_list_readers([&](std::int32_t, char* buffer, std::uint32_t& length) {
        if (buffer == nullptr) {
            length = static_cast<std::uint32_t>(names.size());
            return pcsc::SUCCESS;
        }
        handed_over.emplace_back(buffer, buffer + length);
        std::memcpy(buffer, names.data(), names.size());
        return pcsc::SUCCESS;
    });
    EXPECT_THAT(handle_smartcard_list_readers(CONTEXT),
                ElementsAre("0x00000000", "Reader A,Reader B"));
    ASSERT_EQ(handed_over.size(), 1u);
    EXPECT_EQ(handed_over[0].size(), names.size());
    EXPECT_THAT(handed_over[0], Each('\0'));
}

TEST_F(ScardListReaders, NamesComeInTheServicesOrder) {
    service.set_readers({"Zeta", "Alpha", "Mid"});
    EXPECT_THAT(handle_smartcard_list_readers(CONTEXT),
                ElementsAre("0x00000000", "Zeta,Alpha,Mid"));
}

// --- Waiting for a change of state ----------------------------------------------------

class ScardStatusChange : public FakeServiceTest {};

TEST_F(ScardStatusChange, EachReaderBecomesARecordWithItsNameAndStatesAndNothingElse) {
    const std::vector<ReaderData> readers{{0x10, 0x01, "Reader A"}, {0x00020012, 0, "Reader B"}};
    service.next(Fn::GET_STATUS_CHANGE,
                 {.readers = {{.event_state = 0x22}, {.event_state = 0x12}}});
    handle_smartcard_get_status_change(CONTEXT, 1500, 2, readers);

    const auto calls = service.calls(Fn::GET_STATUS_CHANGE);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].context, CONTEXT);
    EXPECT_EQ(calls[0].timeout_ms, 1500u);
    EXPECT_EQ(calls[0].count, 2u);
    ASSERT_EQ(calls[0].reader_states.size(), 2u);
    for (std::size_t i = 0; i < readers.size(); ++i) {
        const PassedReaderState& passed = calls[0].reader_states[i];
        EXPECT_EQ(passed.reader_name, readers[i].reader_name);
        EXPECT_FALSE(passed.reader_name_null);
        EXPECT_EQ(passed.current_state, readers[i].current_state);
        EXPECT_EQ(passed.event_state, readers[i].event_state);
        EXPECT_EQ(passed.atr_length, 0u);
        EXPECT_THAT(passed.atr, Each(0));
    }
}

TEST_F(ScardStatusChange, NoReadersAreACountOfZero) {
    service.next(Fn::GET_STATUS_CHANGE, {});
    EXPECT_THAT(handle_smartcard_get_status_change(CONTEXT, 1000, 0, {}),
                ElementsAre("0x00000000", "0"));
    EXPECT_EQ(service.calls(Fn::GET_STATUS_CHANGE).at(0).count, 0u);
}

TEST_F(ScardStatusChange, TotalReadersChangesNothing) {
    const std::vector<ReaderData> readers{
        {0, 0, "Reader A"}, {0, 0, "Reader B"}, {0, 0, "Reader A"}};
    service.next(Fn::GET_STATUS_CHANGE, {});
    const ResultList result = handle_smartcard_get_status_change(CONTEXT, 0, 1, readers);
    EXPECT_EQ(result.size(), 2u + 3u * 3u);
    EXPECT_EQ(result.at(1), "3");
    EXPECT_EQ(service.calls(Fn::GET_STATUS_CHANGE).at(0).count, 3u);
}

TEST_F(ScardStatusChange, ResultHasThreeStringsPerReaderInRequestOrder) {
    const Bytes atr = default_atr();
    service.next(Fn::GET_STATUS_CHANGE,
                 {.readers = {{.event_state = 0x00010022, .atr = atr}, {.event_state = 0x12}}});
    EXPECT_THAT(
        handle_smartcard_get_status_change(CONTEXT, 0, 2,
                                           {{0x10, 0, "Reader A"}, {0, 0, "Reader B"}}),
        ElementsAre("0x00000000", "2", "0x00000010", "0x00010022",
                    "3B8F8001804F0CA000000306030001000000006A", "0x00000000", "0x00000012", ""));
}

TEST_F(ScardStatusChange, MoreRecordsThanTheServiceTakesAreRefusedWithoutAsking) {
    const std::vector<ReaderData> at_most(pcsc::MAX_READERS_PER_WAIT, {0, 0, "Reader A"});
    service.next(Fn::GET_STATUS_CHANGE, {});
    handle_smartcard_get_status_change(CONTEXT, 0, 0, at_most);
    std::vector<ReaderData> one_more = at_most;
    one_more.push_back({0, 0, "Reader B"});
    const VornSCardException e =
        scard_failure([&] { handle_smartcard_get_status_change(CONTEXT, 0, 0, one_more); });
    EXPECT_EQ(e.error_code, pcsc::E_INVALID_PARAMETER);
    EXPECT_EQ(service.calls(Fn::GET_STATUS_CHANGE).size(), 1u);
}

// The ATR field of a record holds 33 bytes; a larger reported length must not read past it.
struct AtrLengthCase {
    std::string name;
    std::uint32_t reported;
    std::size_t hex_characters;
};

class ScardStatusChangeAtr : public FakeServiceTest,
                             public ::testing::WithParamInterface<AtrLengthCase> {};

TEST_P(ScardStatusChangeAtr, AtrTextStopsAtTheReportedLengthOrTheField) {
    service.next(Fn::GET_STATUS_CHANGE, {.readers = {{.event_state = 0x22,
                                                      .atr = Bytes(33, 0xAB),
                                                      .atr_length = GetParam().reported}}});
    const ResultList result =
        handle_smartcard_get_status_change(CONTEXT, 0, 1, {{0, 0, "Reader A"}});
    ASSERT_EQ(result.size(), 5u);
    std::string expected;
    for (std::size_t i = 0; i < GetParam().hex_characters / 2; ++i) expected += "AB";
    EXPECT_EQ(result[4], expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ScardStatusChangeAtr,
                         ::testing::ValuesIn(std::vector<AtrLengthCase>{
                             {"None", 0, 0},
                             {"One", 1, 2},
                             {"Full", 33, 66},
                             {"OneTooMany", 34, 66},
                             {"FarTooMany", 0xFFFFFFFF, 66},
                         }),
                         [](const auto& info) { return info.param.name; });

struct WaitFailureCase {
    std::string name;
    std::int32_t status;
    std::string text;
};

class ScardStatusChangeFailure : public FakeServiceTest,
                                 public ::testing::WithParamInterface<WaitFailureCase> {};

TEST_P(ScardStatusChangeFailure, CarriesTheServicesStatus) {
    service.next(Fn::GET_STATUS_CHANGE, {.status = GetParam().status});
    const VornSCardException e = scard_failure([] {
        handle_smartcard_get_status_change(CONTEXT, 100, 1, {{0, 0, "Reader A"}});
    });
    EXPECT_EQ(e.error_code, GetParam().status);
    EXPECT_EQ(e.message, "Error in handle_smartcard_get_status_change: " + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ScardStatusChangeFailure,
    ::testing::ValuesIn(std::vector<WaitFailureCase>{
        {"TimeOut", pcsc::E_TIMEOUT, "The user-specified timeout value has expired"},
        {"Cancelled", pcsc::E_CANCELLED, "The action was cancelled by an SCardCancel request"},
        {"UnknownReader", E_UNKNOWN_READER, "The specified reader name is not recognized"},
    }),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace Vorn_SCard_Bridge::fake
