// Control codes, attributes, extended answers and reader names through the host binary,
// on the readers of our own test driver (tests/fixtures/test_reader_driver.c) that the test
// bed's pcscd loads: what a driver receives, how often, and exactly what the extension gets
// back.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

#include "e2e/host_answers.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "fixtures/pcscd_service.h"
#include "fixtures/virtual_card.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

constexpr std::uint32_t CODE_ECHO = 0x42000001;
constexpr std::uint32_t CODE_COUNTER = 0x42000002;
constexpr std::uint32_t CODE_TYPE_PINS = 0x42000003;
constexpr std::uint32_t CODE_RESET = 0x42000004;
constexpr std::uint32_t GET_FEATURE_REQUEST = 0x42000D48;
constexpr std::uint32_t VERIFY_PIN_DIRECT = 0x42330006;
constexpr std::uint32_t MODIFY_PIN_DIRECT = 0x42330007;

constexpr std::uint32_t ATTR_VENDOR_NAME = 0x00010100;
constexpr std::uint32_t ATTR_VENDOR_IFD_VERSION = 0x00010102;
constexpr std::uint32_t ATTR_ATR_STRING = 0x00090303;
constexpr std::uint32_t ATTR_CHANGING_SIZE = 0x00070A00;
constexpr std::uint32_t ATTR_260_BYTES = 0x00070A01;
constexpr std::uint32_t ATTR_WRITABLE = 0x00070A02;
// Answered by pcscd itself, not by the driver.
constexpr std::uint32_t ATTR_DEVICE_FRIENDLY_NAME = 0x7FFF0003;
constexpr std::uint32_t ATTR_DEVICE_SYSTEM_NAME = 0x7FFF0004;

const std::string DRIVER_ATR = "3B80800101";

// The bytes i mod 256 for i in [0, count), as hexadecimal text.
std::string counting_bytes(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    return to_hex(bytes);
}

std::string ascii_hex(const std::string& text) { return to_hex(Bytes(text.begin(), text.end())); }

class TestReaderDriver : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(PcscdService::ensure_running(PcscdService::DEFAULT_TIMEOUT, &why)) << why;
        ASSERT_TRUE(PcscdService::wait_for_readers(
            {TEST_READER, ODD_NAME_READER, LATIN1_READER, LONG_ODD_READER},
            PcscdService::DEFAULT_TIMEOUT))
            << "pcscd does not list the test driver's readers: it was started without the "
               "test bed's reader configuration (run the tests under scripts/hermetic.sh)";
        context_ = establish_context(host);
        ASSERT_FALSE(context_.empty());
        card_ = connect_card(host, context_, TEST_READER);
        ASSERT_FALSE(card_.empty());
        // The driver keeps its counters and PINs for pcscd's lifetime.
        ASSERT_EQ(control(CODE_RESET, "00").status, "success");
    }

    Answer control(std::uint32_t code, const std::string& data) {
        return ask(host, "control", json::array({context_, card_, code, data}));
    }
    Answer get_attrib(std::uint32_t id) {
        return ask(host, "get_attrib", json::array({context_, card_, id}));
    }
    Answer controlled(const std::string& output) {
        return success({"0x00000000", context_, card_, output});
    }
    Answer attribute(std::uint32_t id, const std::string& value) {
        return success({"0x00000000", context_, card_, to_hex_text(id), value});
    }
    static std::string to_hex_text(std::uint32_t id) {
        char text[11];
        std::snprintf(text, sizeof text, "0x%08X", id);
        return text;
    }

    HostProcess host;
    std::string context_;
    std::string card_;
};

// --- a control code runs once and answers exactly what the driver returned ---------------

class ControlCodes : public TestReaderDriver {};

TEST_F(ControlCodes, EachRequestRunsTheCodeOnce) {
    // The counter answers 8 bytes on its odd calls and 4 on its even ones.
    EXPECT_EQ(control(CODE_COUNTER, ""), controlled("0111111122222222"));
    EXPECT_EQ(control(CODE_COUNTER, ""), controlled("02111111"));
    EXPECT_EQ(control(CODE_COUNTER, "00"), controlled("0311111122222222"));
}

TEST_F(ControlCodes, InputReachesTheDriverByteForByte) {
    EXPECT_EQ(control(CODE_ECHO, "00FF7f80"), controlled("00FF7F80"));
    const std::string largest = counting_bytes(2048);
    EXPECT_EQ(control(CODE_ECHO, largest), controlled(largest));
}

TEST_F(ControlCodes, CodeWithoutInputIsSentWithNoBytes) {
    EXPECT_EQ(control(GET_FEATURE_REQUEST, ""), controlled("060442330006070442330007"));
    EXPECT_EQ(control(CODE_ECHO, ""), controlled(""));
}

TEST_F(ControlCodes, TextThatIsNotHexIsRefusedBeforeTheDriver) {
    EXPECT_EQ(control(CODE_COUNTER, "4G"),
              general_error("Invalid hex string at offset: preview='4G'"));
    EXPECT_EQ(control(CODE_COUNTER, "0"),
              general_error("Invalid hex string at offset: preview='0'"));
    EXPECT_EQ(control(CODE_COUNTER, ""), controlled("0111111122222222"));
}

TEST_F(ControlCodes, CodeTheDriverDoesNotKnowIsTheServicesError) {
    const Answer answer = control(0x42000FFF, "");
    EXPECT_EQ(answer.status, "error");
    ASSERT_EQ(answer.strings().size(), 2u) << answer.result.dump();
    EXPECT_THAT(answer.strings()[1], StartsWith("Error in handle_smartcard_control: "));
}

// --- attributes: exactly the bytes returned, also those pcscd answers itself ------------

class Attributes : public TestReaderDriver {};

TEST_F(Attributes, DriverAttributesAnswerTheirBytes) {
    EXPECT_EQ(get_attrib(ATTR_VENDOR_NAME),
              attribute(ATTR_VENDOR_NAME, ascii_hex("Vorn Test Readers")));
    EXPECT_EQ(get_attrib(ATTR_VENDOR_IFD_VERSION), attribute(ATTR_VENDOR_IFD_VERSION, "04030201"));
    EXPECT_EQ(get_attrib(ATTR_ATR_STRING), attribute(ATTR_ATR_STRING, DRIVER_ATR));
    EXPECT_EQ(get_attrib(ATTR_260_BYTES), attribute(ATTR_260_BYTES, counting_bytes(260)));
}

TEST_F(Attributes, ValueWhoseSizeChangesIsReadOnceEachTime) {
    // 8 bytes on odd reads, 4 on even ones: nothing invented, nothing read twice.
    EXPECT_EQ(get_attrib(ATTR_CHANGING_SIZE), attribute(ATTR_CHANGING_SIZE, "ABABABABCDCDCDCD"));
    EXPECT_EQ(get_attrib(ATTR_CHANGING_SIZE), attribute(ATTR_CHANGING_SIZE, "ABABABAB"));
}

TEST_F(Attributes, AttributesPcscdAnswersItselfAreRead) {
    const std::string name = ascii_hex(TEST_READER) + "00";
    EXPECT_EQ(get_attrib(ATTR_DEVICE_FRIENDLY_NAME), attribute(ATTR_DEVICE_FRIENDLY_NAME, name));
    EXPECT_EQ(get_attrib(ATTR_DEVICE_SYSTEM_NAME), attribute(ATTR_DEVICE_SYSTEM_NAME, name));
}

// --- attributes a program may set: the reader decides --------------------------------------

TEST_F(Attributes, SetValueIsWhatTheReaderAnswersNext) {
    const struct {
        std::uint32_t id;
        std::string value;
        std::string code;  // of the answer to set_attrib
    } cases[] = {
        {ATTR_WRITABLE, "0102A0FF", "0x00000000"},
        {ATTR_WRITABLE, std::string(64, 'E'), "0x00000000"},
        {ATTR_VENDOR_NAME, "00", "0x8010001F"},  // not one the reader lets a program set
        {ATTR_WRITABLE, "0G", GENERAL_ERROR},    // refused before the driver
        {ATTR_WRITABLE, "123", GENERAL_ERROR},
    };
    std::string expected = "00";
    for (const auto& c : cases) {
        const Answer set = ask(host, "set_attrib", json::array({context_, card_, c.id, c.value}));
        EXPECT_EQ(set.strings().at(0), c.code) << c.value << " " << set.result.dump();
        if (c.code == "0x00000000" && c.id == ATTR_WRITABLE) expected = c.value;
        EXPECT_EQ(get_attrib(ATTR_WRITABLE), attribute(ATTR_WRITABLE, expected)) << c.value;
    }
}

// --- a full extended answer fits ----------------------------------------------------------

TEST_F(TestReaderDriver, TransmitAnswersAFullExtendedResponse) {
    const Answer answer =
        ask(host, "transmit", json::array({context_, card_, PROTOCOL_T1, "00B00000000000"}));
    const Strings result = answer.strings();
    ASSERT_EQ(result.size(), 5u) << answer.status << " " << answer.result.dump();
    EXPECT_EQ(result[0], "0x00000000");
    // Compared whole, reported by size: 131,076 characters.
    EXPECT_EQ(result[4].size(), 2u * (65536 + 2));
    EXPECT_TRUE(result[4] == counting_bytes(65536) + "9000");
}

// --- PIN pad: the structure's PIN goes to the card, its answer comes back ---------------

class PinPad : public TestReaderDriver {
protected:
    // bmFormatString 0x82: byte positions, PIN at 0, left, ASCII; 4 to 8 digits; OK key.
    static std::string verify_structure() {
        return "1E"
               "00"
               "82"
               "08"
               "00"
               "0804"
               "02"
               "01"
               "0904"
               "00"
               "000000"
               "0D000000"
               "0020008008FFFFFFFFFFFFFFFF";
    }
    // Old PIN at 0, new at 8, both typed; confirmation requested.
    static std::string modify_structure() {
        return "1E"
               "00"
               "82"
               "08"
               "00"
               "00"
               "08"
               "0804"
               "03"
               "02"
               "03"
               "0904"
               "00"
               "01"
               "02"
               "000000"
               "15000000"
               "0024000010FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";
    }
    Answer verify_plain(const std::string& pin) {
        std::string data = ascii_hex(pin);
        data.resize(16, 'F');
        return ask(host, "transmit",
                   json::array({context_, card_, PROTOCOL_T1, "0020008008" + data}));
    }
    std::string status_word(const Answer& answer) {
        const Strings result = answer.strings();
        return result.size() == 5 ? result[4] : answer.result.dump();
    }
};

TEST_F(PinPad, FeaturesNameTheVerifyAndModifyCodes) {
    EXPECT_EQ(control(GET_FEATURE_REQUEST, ""), controlled("060442330006070442330007"));
}

TEST_F(PinPad, RightPinVerifiesAndAWrongOneCountsDown) {
    EXPECT_EQ(control(VERIFY_PIN_DIRECT, verify_structure()), controlled("9000"));
    ASSERT_EQ(control(CODE_TYPE_PINS, ascii_hex("0000")).status, "success");
    EXPECT_EQ(control(VERIFY_PIN_DIRECT, verify_structure()), controlled("63C2"));
}

TEST_F(PinPad, ModifiedPinIsTheCardsNewPin) {
    EXPECT_EQ(control(MODIFY_PIN_DIRECT, modify_structure()), controlled("9000"));
    EXPECT_EQ(status_word(verify_plain("5678")), "9000");
    EXPECT_EQ(status_word(verify_plain("1234")), "63C2");
}

TEST_F(PinPad, StructureWhoseLengthsDoNotAddUpFails) {
    std::string cut = verify_structure();
    cut.resize(cut.size() - 2);
    const Answer answer = control(VERIFY_PIN_DIRECT, cut);
    EXPECT_EQ(answer.status, "error");
    ASSERT_EQ(answer.strings().size(), 2u) << answer.result.dump();
    EXPECT_THAT(answer.strings()[1], StartsWith("Error in handle_smartcard_control: "));
}

// --- reader names that are not UTF-8, sent back as listed ---------------------------------

struct OddName {
    const char* label;
    std::string shown;
};

void PrintTo(const OddName& name, std::ostream* out) { *out << name.label; }

class OddReaderName : public TestReaderDriver, public ::testing::WithParamInterface<OddName> {};

// Each such reader is listed once, in a form that reaches that reader and no other,
// whatever the length of that form: the limit counts the service's bytes.
TEST_P(OddReaderName, ListedNameReachesThatReader) {
    const std::string& shown = GetParam().shown;
    const Answer listed = ask(host, "list_readers_array", json::array({context_}));
    const Strings names = listed.strings();
    EXPECT_EQ(std::count(names.begin(), names.end(), shown), 1) << listed.result.dump();

    const std::string card = connect_card(host, context_, shown);
    ASSERT_FALSE(card.empty());
    const Answer status = ask(host, "status", json::array({context_, card}));
    ASSERT_EQ(status.status, "success") << status.result.dump();
    EXPECT_EQ(status.strings().at(3), shown);

    const Answer wait = ask(host, "get_status_change", json::array({context_, 0, 1, 0, 0, shown}));
    ASSERT_EQ(wait.status, "success") << wait.result.dump();
    ASSERT_EQ(wait.strings().size(), 5u);
    EXPECT_EQ(wait.strings()[4], DRIVER_ATR);
}

INSTANTIATE_TEST_SUITE_P(Names, OddReaderName,
                         ::testing::Values(OddName{"TwoBadBytes", ODD_NAME_READER_SHOWN},
                                           OddName{"Latin1", LATIN1_READER_SHOWN},
                                           OddName{"HundredFFBytes", long_odd_reader_shown()}),
                         [](const auto& info) { return std::string(info.param.label); });

class ReaderNames : public TestReaderDriver {};

// list_readers joins names with commas; list_readers_array keeps each whole.
TEST_F(ReaderNames, NamesWithACommaAreListedWholeOneByOne) {
    const Answer listed = ask(host, "list_readers_array", json::array({context_}));
    ASSERT_EQ(listed.status, "success") << listed.result.dump();
    const Strings names = listed.strings();
    EXPECT_EQ(names.at(0), "0x00000000");
    for (const std::string reader : {TEST_READER, COMMA_READER}) {
        EXPECT_EQ(std::count(names.begin() + 1, names.end(), reader), 1) << reader;
    }
    EXPECT_FALSE(connect_card(host, context_, COMMA_READER).empty());
}

TEST_F(ReaderNames, NameThatNoReaderIsShownAsIsUnknown) {
    const Answer answer =
        ask(host, "connect", json::array({context_, "Vorn \uFFFD Odd 01 00", SHARE_SHARED, 3}));
    EXPECT_EQ(answer.status, "error");
    EXPECT_EQ(answer.strings().at(0), "0x80100009");
}

// --- readers named in other scripts ----------------------------------------------------
// Each is listed, watched and connected under its own name, and the card's status names
// it so. (On Windows through WinSCard's UTF-16 functions: its ANSI ones turn what the
// code page lacks into '?', and the name so listed reaches no reader.)

class ScriptReaderName : public TestReaderDriver,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(ScriptReaderName, IsListedWatchedAndConnectedByItsName) {
    const std::string name = GetParam();
    ASSERT_TRUE(PcscdService::wait_for_readers({name}, PcscdService::DEFAULT_TIMEOUT));
    const Strings listed = ask(host, "list_readers_array", json::array({context_})).strings();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), name), 1) << json(listed).dump();

    const Answer watched =
        ask(host, "get_status_change", json::array({context_, 0, 1, 0, 0, name}));
    ASSERT_EQ(watched.status, "success") << watched.result.dump();
    EXPECT_EQ(watched.strings().at(4), DRIVER_ATR);

    const std::string card = connect_card(host, context_, name);
    ASSERT_FALSE(card.empty());
    const Answer status = ask(host, "status", json::array({context_, card}));
    ASSERT_EQ(status.status, "success") << status.result.dump();
    EXPECT_EQ(status.strings().at(3), name);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptReaderName, ::testing::Values(LATIN_READER, CYRILLIC_READER, CJK_READER),
    [](const auto& info) {
        return std::string(info.index == 0 ? "Latin" : info.index == 1 ? "Cyrillic" : "Cjk");
    });

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
