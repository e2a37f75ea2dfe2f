#pragma once

// Keeps a second call on a busy context out of the PC/SC library.
//
// pcsc-lite's client library serialises the calls on one context with a lock per
// context, but it waits for that lock while holding its own process-wide lock. A
// status-change wait holds its context's lock for the whole wait, so a second call
// on the same context (another wait, a reader list, a call on one of its cards)
// would block every PC/SC call of the process, the cancel that could end the wait
// included. Calls on one context therefore queue here, in front of the library,
// and only one of them is inside it at a time; calls on other contexts, and cancel
// and the validity check (which the library answers without the context's lock),
// pass freely.
//
// A cancel ends every wait on its context, also those still queued here: the
// service itself forgets a cancel that finds no wait inside it, so a wait that was
// queued before a cancel does not enter the service once its turn comes.
//
// Only contexts opened through the gates are gated; a handle the host never got
// from the service passes straight through and the service refuses it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace Vorn_SCard_Bridge::pcsc {

class ContextGates {
public:
    // One context's turn, and what the waits queued at it need to know.
    struct Gate {
        std::mutex turn;
        // Both guarded by the gates' registry lock.
        std::uint64_t cancels = 0;
        std::uint32_t queued_waits = 0;
    };

    // Held while a call is inside the library; an unknown handle yields an empty pass.
    class Pass {
    public:
        Pass() = default;
        explicit Pass(std::shared_ptr<Gate> gate);  // waits for the gate's turn
        Pass(Pass&&) = default;
        Pass& operator=(Pass&&) = delete;  // would free a gate before unlocking it
        bool holds_gate() const { return lock_.owns_lock(); }
        // Only meaningful for a pass from enter_wait.
        bool cancelled_while_queued() const { return cancelled_; }

    private:
        friend class ContextGates;
        std::shared_ptr<Gate> gate_;  // outlives the lock: destroyed after it
        std::unique_lock<std::mutex> lock_;
        bool cancelled_ = false;
    };

    void open_context(std::int32_t context);
    // Forgets the context and the cards connected through it.
    void close_context(std::int32_t context);
    void add_card(std::int32_t card, std::int32_t context);
    void remove_card(std::int32_t card);

    Pass enter_context(std::int32_t context);
    Pass enter_card(std::int32_t card);
    // As enter_context, and tells whether the context was cancelled while it queued.
    Pass enter_wait(std::int32_t context);
    // Called before the service's cancel: waits queued now are cancelled too.
    void note_cancel(std::int32_t context);

    std::size_t context_count() const;
    // Waits of the context that are waiting for their turn.
    std::uint32_t queued_waits(std::int32_t context) const;
    std::size_t card_count() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::int32_t, std::shared_ptr<Gate>> contexts_;
    std::unordered_map<std::int32_t, std::int32_t> card_contexts_;
};

}  // namespace Vorn_SCard_Bridge::pcsc
