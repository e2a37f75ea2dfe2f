#include "scard/reader_event_counts.h"

#include <algorithm>

#include "scard/pcsc_wire.h"

namespace Vorn_SCard_Bridge::pcsc {

namespace {

using namespace wire::reader_state;

std::uint16_t count_of(std::uint32_t state) {
    return static_cast<std::uint16_t>(state >> COUNT_SHIFT);
}

bool passes_unchanged(std::uint32_t event_state) {
    return (event_state & (STATE_UNKNOWN | STATE_IGNORE)) != 0;
}

}  // namespace

std::uint32_t ReaderEventCounts::to_service(const std::string& reader,
                                            std::uint32_t current_state) {
    const std::uint32_t flags = current_state & STATE_FLAGS;
    if (current_state == STATE_UNAWARE || (flags & STATE_IGNORE) != 0) return flags;
    const auto known = readers_.find(reader);
    if (known == readers_.end()) {
        readers_[reader].count = count_of(current_state);
        return flags;
    }
    return count_of(current_state) == known->second.count ? flags : STATE_UNAWARE;
}

std::uint32_t ReaderEventCounts::from_service(const std::string& reader,
                                              std::uint32_t current_state,
                                              std::uint32_t event_state,
                                              std::span<const std::uint8_t> atr) {
    if (passes_unchanged(event_state)) return event_state;
    Reader& seen = readers_[reader];
    const std::uint32_t presence = event_state & (STATE_EMPTY | STATE_PRESENT);
    if (seen.presence != 0 && presence != seen.presence) {
        ++seen.count;
    } else if (presence == STATE_PRESENT && seen.presence == STATE_PRESENT &&
               !std::equal(atr.begin(), atr.end(), seen.atr.begin(), seen.atr.end())) {
        seen.count = static_cast<std::uint16_t>(seen.count + 2);
    }
    seen.presence = presence;
    seen.atr.assign(atr.begin(), atr.end());

    std::uint32_t answer = (event_state & STATE_FLAGS) | with_count(seen.count);
    if (current_state != STATE_UNAWARE && count_of(current_state) != seen.count) {
        answer |= STATE_CHANGED;
    }
    return answer;
}

}  // namespace Vorn_SCard_Bridge::pcsc
