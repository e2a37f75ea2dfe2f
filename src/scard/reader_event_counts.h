#pragma once

// pcsc-lite (and Windows) count the card events of each reader (every insertion and
// removal) in the high 16 bits of a status-change record's event state, and end a wait
// whose record names another count than the reader's. The Web Smart Card API's
// eventCount is that number. Apple's framework keeps none (El Capitan onward): where the
// adapter is built for it, these counts are kept by the host instead, from what the
// framework reports to the host's own waits.
//
// The count is made up, and says so: it grows by one when a reader is seen empty after
// present or present after empty, by two when it is seen present with another ATR
// (removed and inserted between two looks); a card taken out and put back with the
// same ATR between two looks is not seen. It starts from the count the first caller
// names for a reader (so an extension that outlives a host keeps counting on), else 0.
//
// No PC/SC header, no threads, no clock: the adapter holds one of these for the process
// under a lock, and it is tested by tables of states.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace Vorn_SCard_Bridge::pcsc {

class ReaderEventCounts {
public:
    // The current state to hand a service that keeps no counts, for a caller's record.
    // A caller who names a count other than the one kept has missed events: the wait
    // must end at once, as pcsc-lite's does, so the service is told the caller knows
    // nothing of the reader (UNAWARE).
    std::uint32_t to_service(const std::string& reader, std::uint32_t current_state);

    // The event state to answer for a record the service answered: its own flags, the
    // count kept in the high 16 bits, and CHANGED where that count is not the caller's.
    // Records the service flags UNKNOWN (no such reader, or the PnP notification reader
    // the framework does not support) or IGNORE pass unchanged.
    std::uint32_t from_service(const std::string& reader, std::uint32_t current_state,
                               std::uint32_t event_state, std::span<const std::uint8_t> atr);

private:
    struct Reader {
        std::uint16_t count = 0;
        // STATE_EMPTY or STATE_PRESENT (wire::reader_state) as last seen; 0 before the first look.
        std::uint32_t presence = 0;
        std::vector<std::uint8_t> atr;
    };
    std::map<std::string, Reader, std::less<>> readers_;
};

}  // namespace Vorn_SCard_Bridge::pcsc
