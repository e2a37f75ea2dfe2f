// The English sentence for each PC/SC status code, and the text for codes
// without one.

#include "support/status_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

struct StatusRow {
    const char* name;
    std::uint32_t code;
    const char* message;
};

// The status codes of the PC/SC service and their sentences, without a final stop.
const std::vector<StatusRow>& known_statuses() {
    static const std::vector<StatusRow> rows = {
        {"S_SUCCESS", 0x00000000, "No error was encountered"},
        {"F_INTERNAL_ERROR", 0x80100001, "An internal consistency check failed"},
        {"E_CANCELLED", 0x80100002, "The action was cancelled by an SCardCancel request"},
        {"E_INVALID_HANDLE", 0x80100003, "The supplied handle was invalid"},
        {"E_INVALID_PARAMETER", 0x80100004,
         "One or more of the supplied parameters could not be properly interpreted"},
        {"E_INVALID_TARGET", 0x80100005, "Registry startup information is missing or invalid"},
        {"E_NO_MEMORY", 0x80100006, "Not enough memory available to complete this command"},
        {"F_WAITED_TOO_LONG", 0x80100007, "An internal consistency timer has expired"},
        {"E_INSUFFICIENT_BUFFER", 0x80100008,
         "The data buffer to receive returned data is too small for the returned data"},
        {"E_UNKNOWN_READER", 0x80100009, "The specified reader name is not recognized"},
        {"E_TIMEOUT", 0x8010000A, "The user-specified timeout value has expired"},
        {"E_SHARING_VIOLATION", 0x8010000B,
         "The smart card cannot be accessed because of other connections outstanding"},
        {"E_NO_SMARTCARD", 0x8010000C,
         "The operation requires a smart card, but no smart card is currently in the device"},
        {"E_UNKNOWN_CARD", 0x8010000D, "The specified smart card name is not recognized"},
        {"E_CANT_DISPOSE", 0x8010000E,
         "The system could not dispose of the media in the requested manner"},
        {"E_PROTO_MISMATCH", 0x8010000F,
         "The requested protocols are incompatible with the protocol currently in use with the "
         "smart card"},
        {"E_NOT_READY", 0x80100010, "The reader or smart card is not ready to accept commands"},
        {"E_INVALID_VALUE", 0x80100011,
         "One or more of the supplied parameters values could not be properly interpreted"},
        {"E_SYSTEM_CANCELLED", 0x80100012,
         "The action was cancelled by the system, presumably to log off or shut down"},
        {"F_COMM_ERROR", 0x80100013, "An internal communications error has been detected"},
        {"F_UNKNOWN_ERROR", 0x80100014,
         "An internal error has been detected, but the source is unknown"},
        {"E_INVALID_ATR", 0x80100015,
         "An ATR obtained from the registry is not a valid ATR string"},
        {"E_NOT_TRANSACTED", 0x80100016, "An attempt was made to end a non-existent transaction"},
        {"E_READER_UNAVAILABLE", 0x80100017,
         "The specified reader is not currently available for use"},
        {"P_SHUTDOWN", 0x80100018,
         "The operation has been aborted to allow the server application to exit"},
        {"E_PCI_TOO_SMALL", 0x80100019, "The PCI Receive buffer was too small"},
        {"E_READER_UNSUPPORTED", 0x8010001A,
         "The reader driver does not meet minimal requirements for support"},
        {"E_DUPLICATE_READER", 0x8010001B,
         "The reader driver did not produce a unique reader name"},
        {"E_CARD_UNSUPPORTED", 0x8010001C,
         "The smart card does not meet minimal requirements for support"},
        {"E_NO_SERVICE", 0x8010001D, "The Smart Card Resource Manager is not running"},
        {"E_SERVICE_STOPPED", 0x8010001E, "The Smart Card Resource Manager has shut down"},
        {"NoReaderDetected1783", 0x000006F7, "A smart card reader was not detected"},
        {"W_UNSUPPORTED_CARD", 0x80100065,
         "The reader cannot communicate with the card, due to ATR string configuration "
         "conflicts"},
        {"W_UNRESPONSIVE_CARD", 0x80100066, "The smart card is not responding to a reset"},
        {"W_UNPOWERED_CARD", 0x80100067,
         "Power has been removed from the smart card, so that further communication is not "
         "possible"},
        {"W_RESET_CARD", 0x80100068,
         "The smart card has been reset, so any shared state information is invalid"},
        {"W_REMOVED_CARD", 0x80100069,
         "The smart card has been removed, so further communication is not possible"},
    };
    return rows;
}

std::int32_t as_status(std::uint32_t pattern) { return static_cast<std::int32_t>(pattern); }

std::string unknown_text(std::uint32_t pattern) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "Unknown error: 0x%08X", pattern);
    return buffer;
}

// Codes without a sentence of their own.
const std::vector<std::uint32_t>& unknown_statuses() {
    static const std::vector<std::uint32_t> codes = {
        0x8010002E,  // no readers available: deliberately without a row
        0x8010001F,  // the first code past the E_ block
        0x80100064,  // the last code before the W_ block
        0x8010006A,  // the first code past the W_ block
        0x00000005, 0xFFFFFFFF, 0x00000001, 0x80000000,
        0x7FFFFFFF, 0x80100000, 0x000006F6, 0x000006F8,
    };
    return codes;
}

class KnownStatus : public ::testing::TestWithParam<StatusRow> {};

TEST_P(KnownStatus, HasItsSentence) {
    EXPECT_EQ(get_win_scard_error_string(as_status(GetParam().code)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Table, KnownStatus, ::testing::ValuesIn(known_statuses()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StatusTable, HasThirtySevenDistinctRowsWithoutFinalStop) {
    ASSERT_EQ(known_statuses().size(), 37u);
    for (const StatusRow& row : known_statuses()) {
        const std::string text = get_win_scard_error_string(as_status(row.code));
        EXPECT_NE(text.rfind("Unknown error", 0), 0u) << row.name;
        ASSERT_FALSE(text.empty());
        EXPECT_NE(text.back(), '.') << row.name;
    }
}

struct UnknownCase {
    std::int32_t code;
    std::string expected;
};

class UnknownStatus : public ::testing::TestWithParam<UnknownCase> {};

TEST_P(UnknownStatus, FallsBackToTheCodeInHex) {
    EXPECT_EQ(get_win_scard_error_string(GetParam().code), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fallbacks, UnknownStatus,
    ::testing::Values(UnknownCase{as_status(0x8010002E), "Unknown error: 0x8010002E"},
                      UnknownCase{as_status(0x8010001F), "Unknown error: 0x8010001F"},
                      UnknownCase{as_status(0x8010006A), "Unknown error: 0x8010006A"},
                      UnknownCase{5, "Unknown error: 0x00000005"},
                      UnknownCase{-1, "Unknown error: 0xFFFFFFFF"},
                      // The longest fallback text fits whole.
                      UnknownCase{std::numeric_limits<std::int32_t>::min(),
                                  "Unknown error: 0x80000000"}));

TEST(StatusTable, CodesNextToTheRowsFallBack) {
    for (const std::uint32_t code : unknown_statuses()) {
        EXPECT_EQ(get_win_scard_error_string(as_status(code)), unknown_text(code))
            << std::hex << code;
    }
}

// The first calls of a process race on the table's construction: every thread
// must get the right texts. Run in a fresh process, so that the first call of
// the process really happens here.
TEST(StatusTableDeathTest, ConcurrentFirstCallsAllGetCorrectTexts) {
    EXPECT_EXIT(
        {
            constexpr int THREADS = 16;
            std::atomic<int> ready{0};
            std::atomic<bool> go{false};
            std::atomic<int> wrong{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < THREADS; ++t) {
                threads.emplace_back([&, t] {
                    ready.fetch_add(1);
                    while (!go.load()) std::this_thread::yield();
                    // Start at different rows so that the first lookups differ.
                    const auto& rows = known_statuses();
                    for (std::size_t i = 0; i < rows.size(); ++i) {
                        const StatusRow& row =
                            rows[(i + static_cast<std::size_t>(t)) % rows.size()];
                        if (get_win_scard_error_string(as_status(row.code)) != row.message) {
                            wrong.fetch_add(1);
                        }
                    }
                    for (const std::uint32_t code : unknown_statuses()) {
                        if (get_win_scard_error_string(as_status(code)) != unknown_text(code)) {
                            wrong.fetch_add(1);
                        }
                    }
                });
            }
            while (ready.load() < THREADS) std::this_thread::yield();
            go.store(true);
            for (std::thread& thread : threads) thread.join();
            std::fprintf(stderr, "wrong texts: %d\n", wrong.load());
            vorn_test::exit_child(wrong.load() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "wrong texts: 0");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
