// The card-event counts the host keeps where the PC/SC service keeps none (Apple's
// framework): look by look, what the service is asked to wait for and what the caller
// is answered. No service: each case is a script of looks at readers.

#include "scard/reader_event_counts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scard/pcsc_wire.h"

namespace Vorn_SCard_Bridge::pcsc {
namespace {

namespace state = wire::reader_state;
constexpr std::uint32_t UNAWARE = state::STATE_UNAWARE;
constexpr std::uint32_t IGNORE = state::STATE_IGNORE;
constexpr std::uint32_t CHANGED = state::STATE_CHANGED;
constexpr std::uint32_t UNKNOWN = state::STATE_UNKNOWN;
constexpr std::uint32_t EMPTY = state::STATE_EMPTY;
constexpr std::uint32_t PRESENT = state::STATE_PRESENT;
constexpr std::uint32_t INUSE = state::STATE_INUSE;
constexpr std::uint32_t count(std::uint32_t n) { return state::with_count(n); }

const std::string READER = "Reader 00 00";
const std::string OTHER = "Reader 01 00";
const std::string PNP = R"(\\?PnP?\Notification)";
const std::vector<std::uint8_t> ATR_A = {0x3B, 0x80, 0x80, 0x01, 0x01};
const std::vector<std::uint8_t> ATR_B = {0x3B, 0x8A, 0x80, 0x01};

// One record of one wait: the caller's current state, what the service must be handed
// for it, the service's answer, and what the caller must get.
struct Look {
    std::string reader;
    std::uint32_t current;
    std::uint32_t to_service;
    std::uint32_t service_event;
    std::vector<std::uint8_t> atr;
    std::uint32_t answer;
};

struct Script {
    const char* name;
    std::vector<Look> looks;
};

class ReaderEventCountsScript : public ::testing::TestWithParam<Script> {};

TEST_P(ReaderEventCountsScript, AnswersEachLook) {
    ReaderEventCounts counts;
    int step = 0;
    for (const Look& look : GetParam().looks) {
        SCOPED_TRACE("look " + std::to_string(step++));
        EXPECT_EQ(counts.to_service(look.reader, look.current), look.to_service);
        EXPECT_EQ(counts.from_service(look.reader, look.current, look.service_event, look.atr),
                  look.answer);
    }
}

const std::vector<Script> SCRIPTS = {
    {"InsertionAndRemovalCountOneEach",
     {{READER, UNAWARE, UNAWARE, EMPTY | CHANGED, {}, EMPTY | CHANGED},
      {READER, EMPTY, EMPTY, PRESENT | CHANGED, ATR_A, PRESENT | CHANGED | count(1)},
      {READER, PRESENT | count(1), PRESENT, PRESENT | INUSE | CHANGED, ATR_A,
       PRESENT | INUSE | CHANGED | count(1)},
      {READER,
       PRESENT | INUSE | count(1),
       PRESENT | INUSE,
       EMPTY | CHANGED,
       {},
       EMPTY | CHANGED | count(2)}}},
    {"AnotherAtrInAPresentReaderIsARemovalAndAnInsertion",
     {{READER, UNAWARE, UNAWARE, PRESENT | CHANGED, ATR_A, PRESENT | CHANGED},
      {READER, PRESENT, PRESENT, PRESENT | CHANGED, ATR_B, PRESENT | CHANGED | count(2)}}},
    {"ACallerBehindOnTheCountIsAnsweredAtOnceWithChanged",
     {{READER, UNAWARE, UNAWARE, EMPTY | CHANGED, {}, EMPTY | CHANGED},
      {READER, EMPTY, EMPTY, PRESENT | CHANGED, ATR_A, PRESENT | CHANGED | count(1)},
      // A second caller still knows the reader as it was before the insertion.
      {READER, EMPTY, UNAWARE, PRESENT | CHANGED, ATR_A, PRESENT | CHANGED | count(1)},
      // Knowing the reader present, but not the insertion's count: told at once too.
      {READER, PRESENT, UNAWARE, PRESENT | CHANGED, ATR_A, PRESENT | CHANGED | count(1)}}},
    {"TheFirstCallersCountIsWhereCountingStarts",
     {{READER, EMPTY | count(7), EMPTY, EMPTY, {}, EMPTY | count(7)},
      {READER, EMPTY | count(7), EMPTY, PRESENT | CHANGED, ATR_A, PRESENT | CHANGED | count(8)}}},
    {"TheCountWrapsAtSixteenBits",
     {{READER, EMPTY | count(0xFFFF), EMPTY, EMPTY, {}, EMPTY | count(0xFFFF)},
      {READER, EMPTY | count(0xFFFF), EMPTY, PRESENT | CHANGED, ATR_A, PRESENT | CHANGED},
      {READER, PRESENT, PRESENT, EMPTY | CHANGED, {}, EMPTY | CHANGED | count(1)}}},
    {"ACountFromTheServiceIsNotTakenForOne",
     {{READER, UNAWARE, UNAWARE, EMPTY | CHANGED | count(9), {}, EMPTY | CHANGED}}},
    {"ReadersAreCountedApart",
     {{READER, UNAWARE, UNAWARE, EMPTY | CHANGED, {}, EMPTY | CHANGED},
      {OTHER, UNAWARE, UNAWARE, EMPTY | CHANGED, {}, EMPTY | CHANGED},
      {READER, EMPTY, EMPTY, PRESENT | CHANGED, ATR_A, PRESENT | CHANGED | count(1)},
      {OTHER, EMPTY, EMPTY, EMPTY, {}, EMPTY}}},
    // The PnP reader the framework does not support, and readers it does not know, come
    // back flagged UNKNOWN: exactly as the service answered, so that the extension can
    // tell that it must list the readers itself.
    {"UnknownAndIgnoredRecordsPassUnchanged",
     {{PNP, UNAWARE, UNAWARE, UNKNOWN | CHANGED, {}, UNKNOWN | CHANGED},
      {PNP, UNKNOWN, UNKNOWN, UNKNOWN, {}, UNKNOWN},
      {READER, IGNORE | count(3), IGNORE, IGNORE, {}, IGNORE}}},
};

INSTANTIATE_TEST_SUITE_P(Looks, ReaderEventCountsScript, ::testing::ValuesIn(SCRIPTS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge::pcsc
