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
        {"E_UNSUPPORTED_FEATURE_PCSCLITE", 0x8010001F, "This smart card does not support the requested feature"},
        {"E_ICC_INSTALLATION", 0x80100020, "No Primary Provider can be found for the smart card"},
        {"E_ICC_CREATEORDER", 0x80100021, "The requested order of object creation is not supported"},
        {"E_UNSUPPORTED_FEATURE", 0x80100022, "This smart card does not support the requested feature"},
        {"E_DIR_NOT_FOUND", 0x80100023, "The identified directory does not exist in the smart card"},
        {"E_FILE_NOT_FOUND", 0x80100024, "The identified file does not exist in the smart card"},
        {"E_NO_DIR", 0x80100025, "The supplied path does not represent a smart card directory"},
        {"E_NO_FILE", 0x80100026, "The supplied path does not represent a smart card file"},
        {"E_NO_ACCESS", 0x80100027, "Access is denied to this file"},
        {"E_WRITE_TOO_MANY", 0x80100028, "The smart card does not have enough memory to store the information"},
        {"E_BAD_SEEK", 0x80100029, "There was an error trying to set the smart card file object pointer"},
        {"E_INVALID_CHV", 0x8010002A, "The supplied PIN is incorrect"},
        {"E_UNKNOWN_RES_MNG", 0x8010002B, "An unrecognized error code was returned from a layered component"},
        {"E_NO_SUCH_CERTIFICATE", 0x8010002C, "The requested certificate does not exist"},
        {"E_CERTIFICATE_UNAVAILABLE", 0x8010002D, "The requested certificate could not be obtained"},
        {"E_NO_READERS_AVAILABLE", 0x8010002E, "Cannot find a smart card reader"},
        {"E_COMM_DATA_LOST", 0x8010002F, "A communications error with the smart card has been detected. Retry the operation"},
        {"E_NO_KEY_CONTAINER", 0x80100030, "The requested key container does not exist on the smart card"},
        {"E_SERVER_TOO_BUSY", 0x80100031, "The Smart Card Resource Manager is too busy to complete this operation"},
        {"E_PIN_CACHE_EXPIRED", 0x80100032, "The smart card PIN cache has expired"},
        {"E_NO_PIN_CACHE", 0x80100033, "The smart card PIN cannot be cached"},
        {"E_READ_ONLY_CARD", 0x80100034, "The smart card is read only and cannot be written to"},
        {"W_SECURITY_VIOLATION", 0x8010006A, "Access was denied because of a security violation"},
        {"W_WRONG_CHV", 0x8010006B, "The card cannot be accessed because the wrong PIN was presented"},
        {"W_CHV_BLOCKED", 0x8010006C, "The card cannot be accessed because the maximum number of PIN entry attempts has been reached"},
        {"W_EOF", 0x8010006D, "The end of the smart card file has been reached"},
        {"W_CANCELLED_BY_USER", 0x8010006E, "The action was cancelled by the user"},
        {"W_CARD_NOT_AUTHENTICATED", 0x8010006F, "No PIN was presented to the smart card"},
        {"W_CACHE_ITEM_NOT_FOUND", 0x80100070, "The requested item could not be found in the cache"},
        {"W_CACHE_ITEM_STALE", 0x80100071, "The requested cache item is too old and was deleted from the cache"},
        {"W_CACHE_ITEM_TOO_BIG", 0x80100072, "The new cache item exceeds the maximum per-item size defined for the cache"},
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
        0x80100035,  // the first code past the E_ block
        0x80100064,  // the last code before the W_ block
        0x80100073,  // the first code past the W_ block
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

TEST(StatusTable, HasADistinctRowForEveryDefinedCodeWithoutFinalStop) {
    ASSERT_EQ(known_statuses().size(), 68u);
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
    ::testing::Values(UnknownCase{as_status(0x80100035), "Unknown error: 0x80100035"},
                      UnknownCase{as_status(0x80100073), "Unknown error: 0x80100073"},
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
