#pragma once

// The contexts and cards the session handed out. The extension gets ids of the
// session's own, never the service's handles: Windows' handles are pointer-sized
// and use their high bits, the extension's are 32 bits, and an id the session did
// not hand out never reaches the service (where a made-up handle could name another
// program's context, or be dereferenced). Ids are not 0 and not used twice in a
// session, for either kind.
//
// Caps: MAX_CONTEXTS contexts and MAX_CARDS cards at a time, so that one page cannot
// use up what pcscd gives the whole machine.
//
// No lock of its own: the session guards it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "scard/pcsc_service.h"
#include "scard/session_hooks.h"

namespace Vorn_SCard_Bridge {

class HandleRegistry {
public:
    static constexpr std::size_t MAX_CONTEXTS = 32;
    static constexpr std::size_t MAX_CARDS = 64;

    // The first id handed out (0 is skipped).
    explicit HandleRegistry(std::uint32_t first_id) : next_id_(first_id) {}

    // A slot for a handle about to be opened; false at the cap. A successful reserve
    // is followed by add() or give_back().
    bool reserve(HandleKind kind);
    void give_back(HandleKind kind);
    // The service's new handle, in a reserved slot: the id the extension gets. A card
    // belongs to the context `context`.
    std::int32_t add(HandleKind kind, pcsc::Handle handle, std::int32_t context);

    std::optional<pcsc::Handle> find(HandleKind kind, std::int32_t id) const;
    // The context a card was connected through.
    std::optional<std::int32_t> context_of_card(std::int32_t card) const;

    // After the service was asked to close a handle: forgotten unless the service
    // still holds it. A context takes its cards with it.
    void closed(HandleKind kind, std::int32_t id, std::int32_t status);
    void remove(HandleKind kind, std::int32_t id);

    struct Entry {
        std::int32_t id;
        pcsc::Handle handle;
    };
    std::vector<Entry> contexts() const;
    std::vector<Entry> cards_of(std::int32_t context) const;
    std::size_t count(HandleKind kind) const;
    static std::size_t cap(HandleKind kind) {
        return kind == HandleKind::CONTEXT ? MAX_CONTEXTS : MAX_CARDS;
    }

    // True when the service holds a handle no more after a close that answered `status`:
    // it closed it, never knew it, or has lost it (stopped, restarted, its reader gone).
    static bool service_let_go(std::int32_t status);

private:
    struct Held {
        HandleKind kind;
        pcsc::Handle handle;
        std::int32_t context;  // a card's context; a context's own id
    };

    std::unordered_map<std::int32_t, Held> held_;
    std::size_t contexts_ = 0;
    std::size_t cards_ = 0;
    std::size_t opening_contexts_ = 0;
    std::size_t opening_cards_ = 0;
    std::uint32_t next_id_;
};

}  // namespace Vorn_SCard_Bridge
