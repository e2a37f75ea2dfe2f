// Transmit, control and attributes on the fake service: the protocol record per protocol,
// the buffer sizes, what the service may report beyond them and the rejections that never
// reach the service.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "scard/smartcard_operations.h"
#include "unit/scard_test_support.h"

namespace Vorn_SCard_Bridge::fake {
namespace {

using ::testing::ElementsAre;

constexpr std::int32_t CONTEXT = DEFAULT_CONTEXT;
constexpr std::int32_t CARD = DEFAULT_CARD;
const std::string SELECT = "00A4040007A0000002471001";
const std::string TOO_SMALL =
    "The data buffer to receive returned data is too small for the returned data";

std::string repeated(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

// --- transmit ----------------------------------------------------------------------------

struct ProtocolCase {
    std::string name;
    std::uint32_t protocol;
    pcsc::ProtocolRecord record;
    std::string shown;
};

class ScardTransmitProtocol : public FakeServiceTest,
                              public ::testing::WithParamInterface<ProtocolCase> {};

TEST_P(ScardTransmitProtocol, ChoosesTheRecordAndPassesTheWholeResponseBuffer) {
    service.next(Fn::TRANSMIT, {.bytes = Bytes{0x90, 0x00}});
    EXPECT_THAT(handle_smartcard_transmit(CONTEXT, CARD, GetParam().protocol, SELECT),
                ElementsAre("0x00000000", "0x0A0B0C0D", "0x11223344", GetParam().shown, "9000"));

    const auto calls = service.calls(Fn::TRANSMIT);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].card, CARD);
    EXPECT_EQ(calls[0].record, GetParam().record);
    EXPECT_EQ(calls[0].data,
              (Bytes{0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x02, 0x47, 0x10, 0x01}));
    EXPECT_FALSE(calls[0].buffer_null);
    EXPECT_EQ(calls[0].length, 65538u);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ScardTransmitProtocol,
                         ::testing::ValuesIn(std::vector<ProtocolCase>{
                             {"T0", 1, pcsc::ProtocolRecord::T0, "1"},
                             {"T1", 2, pcsc::ProtocolRecord::T1, "2"},
                             {"T0OrT1", 3, pcsc::ProtocolRecord::T1, "3"},
                             {"Raw", 4, pcsc::ProtocolRecord::RAW, "4"},
                             {"Undefined", 0, pcsc::ProtocolRecord::T1, "0"},
                             {"T15", 8, pcsc::ProtocolRecord::T1, "8"},
                             {"AllBits", 0xFFFFFFFF, pcsc::ProtocolRecord::T1, "4294967295"},
                         }),
                         [](const auto& info) { return info.param.name; });

class ScardTransmit : public FakeServiceTest {};

TEST_F(ScardTransmit, ResponseIsCutToTheReportedLength) {
    service.next(Fn::TRANSMIT, {.length = 3, .bytes = Bytes{0x6F, 0x00, 0x90, 0x00}});
    EXPECT_EQ(handle_smartcard_transmit(CONTEXT, CARD, 2, SELECT).at(4), "6F0090");
}

TEST_F(ScardTransmit, CardAnsweringNothingGivesAnEmptyResponse) {
    service.next(Fn::TRANSMIT, {.length = 0});
    EXPECT_THAT(handle_smartcard_transmit(CONTEXT, CARD, 2, SELECT),
                ElementsAre("0x00000000", "0x0A0B0C0D", "0x11223344", "2", ""));
}

TEST_F(ScardTransmit, ResponseLengthBeyondTheBufferIsCutToTheBuffer) {
    service.next(Fn::TRANSMIT, {.length = 70000});
    EXPECT_EQ(handle_smartcard_transmit(CONTEXT, CARD, 2, SELECT).at(4).size(), 2u * 65538u);
}

TEST_F(ScardTransmit, FailureCarriesTheServicesStatus) {
    service.next(Fn::TRANSMIT, {.status = W_REMOVED_CARD});
    const VornSCardException e =
        scard_failure([] { handle_smartcard_transmit(CONTEXT, CARD, 2, SELECT); });
    EXPECT_EQ(e.error_code, W_REMOVED_CARD);
    EXPECT_EQ(e.message,
              "Error in handle_smartcard_transmit: The smart card has been removed, so further "
              "communication is not possible");
}

// Each text is checked in a fixed order; the first rule that applies decides, and only a
// text that passes them all reaches the service.
struct TransmitDataCase {
    std::string name;
    std::string data;
    std::optional<ResultList> returned;  // the rejection list, or
    std::optional<std::string> raised;   // the runtime_error, or neither: reaches the service
};

class ScardTransmitData : public FakeServiceTest,
                          public ::testing::WithParamInterface<TransmitDataCase> {};

TEST_P(ScardTransmitData, IsRejectedOrSentAsTheTableSays) {
    const TransmitDataCase& c = GetParam();
    if (c.raised) {
        EXPECT_EQ(runtime_failure([&] { handle_smartcard_transmit(CONTEXT, CARD, 2, c.data); }),
                  *c.raised);
        EXPECT_EQ(service.call_count(Fn::TRANSMIT), 0u);
    } else if (c.returned) {
        EXPECT_EQ(handle_smartcard_transmit(CONTEXT, CARD, 2, c.data), *c.returned);
        EXPECT_EQ(service.call_count(Fn::TRANSMIT), 0u);
    } else {
        EXPECT_EQ(handle_smartcard_transmit(CONTEXT, CARD, 2, c.data).at(0), "0x00000000");
        ASSERT_EQ(service.call_count(Fn::TRANSMIT), 1u);
        EXPECT_EQ(service.calls(Fn::TRANSMIT)[0].data.size(), c.data.size() / 2);
    }
}

const ResultList TOO_SHORT{"error", "APDU command too short (minimum 4 bytes required)"};
const ResultList NOT_HEX{"error", "Invalid hex character in data"};
const ResultList TOO_LONG{"error", "Data exceeds maximum allowed size"};

INSTANTIATE_TEST_SUITE_P(
    Texts, ScardTransmitData,
    ::testing::ValuesIn(std::vector<TransmitDataCase>{
        {"ThreeBytes", "00A404", TOO_SHORT, std::nullopt},
        {"FourBytesReachTheService", "00A40400", std::nullopt, std::nullopt},
        {"LetterG", "00A4G400", NOT_HEX, std::nullopt},
        {"Blank", "00A4 400", NOT_HEX, std::nullopt},
        {"NonAscii",
         "00A4\xC3\xA9"
         "00",
         NOT_HEX, std::nullopt},
        {"LowerCaseIsHex", "00a4040007a0000002471001", std::nullopt, std::nullopt},
        {"NotHexWinsOverTooShort", "0G0000", NOT_HEX, std::nullopt},
        {"Empty", "", std::nullopt, "Invalid hex string at offset: preview=''"},
        {"OddLength", "00A", std::nullopt, "Invalid hex string at offset: preview='00A'"},
        {"OddBeatsNotHex", "00G", std::nullopt, "Invalid hex string at offset: preview='00G'"},
        {"Exactly131072ReachTheService", std::string(131072, '0'), std::nullopt, std::nullopt},
        {"Over131072", std::string(131074, '0'), TOO_LONG, std::nullopt},
        {"TooLongWinsOverNotHex", "GG" + std::string(131072, '0'), TOO_LONG, std::nullopt},
        {"OddAndTooLongFailsOnOddness", std::string(131073, '0'), std::nullopt,
         "Invalid hex string at offset: preview='" + std::string(32, '0') + "...'"},
    }),
    [](const auto& info) { return info.param.name; });

// --- control -----------------------------------------------------------------------------
// The exact bytes and the single call are seen end to end on the test reader driver; here
// what pcscd never does: counts beyond the buffer, and the texts refused before any call.

class ScardControl : public FakeServiceTest {};

TEST_F(ScardControl, OneCallWithTheLargestOutputBufferAnswersTheReturnedBytes) {
    service.next(Fn::CONTROL, {.bytes = Bytes{0x12, 0x34}});
    EXPECT_THAT(handle_smartcard_control(CONTEXT, CARD, 0x42000D48, "0102"),
                ElementsAre("0x00000000", "0x0A0B0C0D", "0x11223344", "1234"));
    const auto calls = service.calls(Fn::CONTROL);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].control_code, 0x42000D48u);
    EXPECT_EQ(calls[0].data, (Bytes{0x01, 0x02}));
    EXPECT_FALSE(calls[0].buffer_null);
    EXPECT_EQ(calls[0].length, 65548u);
}

TEST_F(ScardControl, CountBeyondTheBufferIsCutToTheBuffer) {
    service.next(Fn::CONTROL, {.length = 70000});
    EXPECT_EQ(handle_smartcard_control(CONTEXT, CARD, 1, "00").at(3).size(), 2u * 65548u);
}

TEST_F(ScardControl, BufferTooSmallIsTheServicesFailureWithoutASecondCall) {
    service.next(Fn::CONTROL, {.status = pcsc::E_INSUFFICIENT_BUFFER, .length = 70000});
    const VornSCardException e =
        scard_failure([] { handle_smartcard_control(CONTEXT, CARD, 1, "00"); });
    EXPECT_EQ(e.error_code, pcsc::E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(e.message, "Error in handle_smartcard_control: " + TOO_SMALL);
    EXPECT_EQ(service.call_count(Fn::CONTROL), 1u);
}

struct ControlInputCase {
    std::string name;
    std::string data;
    std::optional<std::string> raised;  // nothing: reaches the service
};

class ScardControlInput : public FakeServiceTest,
                          public ::testing::WithParamInterface<ControlInputCase> {};

TEST_P(ScardControlInput, ReachesTheDriverExactlyOrNotAtAll) {
    if (GetParam().raised) {
        EXPECT_EQ(
            runtime_failure([&] { handle_smartcard_control(CONTEXT, CARD, 1, GetParam().data); }),
            *GetParam().raised);
        EXPECT_EQ(service.call_count(Fn::CONTROL), 0u);
    } else {
        service.next(Fn::CONTROL, {});
        EXPECT_EQ(handle_smartcard_control(CONTEXT, CARD, 1, GetParam().data).at(0), "0x00000000");
        EXPECT_EQ(service.calls(Fn::CONTROL).at(0).data.size(), GetParam().data.size() / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ScardControlInput,
    ::testing::ValuesIn(std::vector<ControlInputCase>{
        {"Exactly4096", std::string(4096, '0'), std::nullopt},
        {"EmptyIsNoInput", "", std::nullopt},
        {"Over4096", std::string(4098, '0'), "Hex input too long: length=4098"},
        {"OddOver4096FailsOnLength", std::string(4097, '0'), "Hex input too long: length=4097"},
        {"Odd", "010", "Invalid hex string at offset: preview='010'"},
        {"PieceThatIsNotHex", "014G", "Invalid hex string at offset: preview='014G'"},
        {"Blank", "01 2", "Invalid hex string at offset: preview='01 2'"},
    }),
    [](const auto& info) { return info.param.name; });

// --- get_attrib --------------------------------------------------------------------------

class ScardGetAttrib : public FakeServiceTest {};

TEST_F(ScardGetAttrib, OneCallWithABufferForAnyAttributeAnswersTheReturnedBytes) {
    service.next(Fn::GET_ATTRIB, {.bytes = Bytes{0x01, 0x02, 0x03, 0x04}});
    EXPECT_THAT(handle_smartcard_get_attrib(CONTEXT, CARD, 0x00090303),
                ElementsAre("0x00000000", "0x0A0B0C0D", "0x11223344", "0x00090303", "01020304"));
    const auto calls = service.calls(Fn::GET_ATTRIB);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].attribute_id, 0x00090303u);
    EXPECT_FALSE(calls[0].buffer_null);
    EXPECT_EQ(calls[0].length, 264u);
}

// pcsc-lite never holds a longer attribute; other platforms may, and say how long.
TEST_F(ScardGetAttrib, LongerAttributeGetsOneMoreCallOfTheLengthAskedFor) {
    service.next(Fn::GET_ATTRIB, {.status = pcsc::E_INSUFFICIENT_BUFFER, .length = 1000});
    service.next(Fn::GET_ATTRIB, {.bytes = Bytes(1000, 0xCD)});
    EXPECT_EQ(handle_smartcard_get_attrib(CONTEXT, CARD, 1).at(4), repeated("CD", 1000));
    const auto calls = service.calls(Fn::GET_ATTRIB);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].length, 1000u);
}

struct TooSmallCase {
    std::string name;
    std::uint32_t length;
};

class ScardGetAttribTooSmall : public FakeServiceTest,
                               public ::testing::WithParamInterface<TooSmallCase> {};

// Without a usable length the status stands; an absurd one is not allocated.
TEST_P(ScardGetAttribTooSmall, FailsAfterOneCall) {
    service.next(Fn::GET_ATTRIB,
                 {.status = pcsc::E_INSUFFICIENT_BUFFER, .length = GetParam().length});
    const VornSCardException e =
        scard_failure([] { handle_smartcard_get_attrib(CONTEXT, CARD, 0x7FFF0003); });
    EXPECT_EQ(e.error_code, pcsc::E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(e.message, "Error in handle_smartcard_get_attrib: " + TOO_SMALL);
    EXPECT_EQ(service.call_count(Fn::GET_ATTRIB), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ScardGetAttribTooSmall,
                         ::testing::ValuesIn(std::vector<TooSmallCase>{
                             {"None", 0},
                             {"NoMoreThanTheBuffer", 264},
                             {"MoreThanAnyAnswer", 0xFFFFFFFF},
                         }),
                         [](const auto& info) { return info.param.name; });

TEST_F(ScardGetAttrib, UnsupportedAttributeCarriesTheServicesStatus) {
    service.next(Fn::GET_ATTRIB, {.status = E_UNSUPPORTED_FEATURE, .length = 264});
    const VornSCardException e =
        scard_failure([] { handle_smartcard_get_attrib(CONTEXT, CARD, 0x00090303); });
    EXPECT_EQ(e.error_code, E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(e.message,
              "Error in handle_smartcard_get_attrib: This smart card does not support the "
              "requested feature");
    EXPECT_EQ(service.call_count(Fn::GET_ATTRIB), 1u);
}

TEST_F(ScardGetAttrib, SecondStatusReplacesTheFirst) {
    service.next(Fn::GET_ATTRIB, {.status = pcsc::E_INSUFFICIENT_BUFFER, .length = 300});
    service.next(Fn::GET_ATTRIB, {.status = W_REMOVED_CARD});
    const VornSCardException e =
        scard_failure([] { handle_smartcard_get_attrib(CONTEXT, CARD, 1); });
    EXPECT_EQ(e.error_code, W_REMOVED_CARD);
}

// --- fixed answers of the reader metadata -------------------------------------------------

class ScardReaderMetadata : public FakeServiceTest {};

TEST_F(ScardReaderMetadata, AnswersAreFixedAndTheServiceIsNeverAsked) {
    EXPECT_THAT(handle_smartcard_introduce_reader(1, "any", "thing"),
                ElementsAre("0x8010001F", "0x00000001", ""));
    EXPECT_THAT(handle_smartcard_introduce_reader(-2, "", ""),
                ElementsAre("0x8010001F", "0xFFFFFFFE", ""));
    EXPECT_THAT(handle_smartcard_get_device_type(0, "No Such Reader"),
                ElementsAre("0x00000000", "0x00000020"));
    EXPECT_THAT(handle_smartcard_get_reader_icon(0, "Reader A"), ElementsAre("0x8010001F"));
    EXPECT_THAT(handle_smartcard_get_transmit_count(12345), ElementsAre("0x8010001F", "0"));
    EXPECT_TRUE(service.calls().empty());
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::fake
