#pragma once

// What the operations tell the session that owns the request being run on this
// thread, and what they ask it: the service's handle behind an id the extension
// sent, a new handle beyond the session's caps, or a status-change wait that a
// cancel has already ended. Outside a session (tests of the operations, the
// fuzzers) there is none: ids are the service's handles and every hook does nothing.

#include <cstdint>
#include <optional>
#include <string_view>

#include "scard/pcsc_service.h"

namespace Vorn_SCard_Bridge {

enum class HandleKind { CONTEXT, CARD };

class SessionHooks {
public:
    virtual ~SessionHooks() = default;
    // Before a handle is opened: throws VornSCardException when the session holds
    // as many as it may. A successful reserve is followed by exactly one of
    // opened() or open_failed().
    virtual void reserve(HandleKind kind, std::string_view operation) = 0;
    // The service's new handle; answers the id the extension gets for it. A card
    // belongs to the context with the id `context`.
    virtual std::int32_t opened(HandleKind kind, pcsc::Handle handle, std::int32_t context) = 0;
    virtual void open_failed(HandleKind kind) = 0;
    // The service's handle for an id the session handed out; none for any other id.
    virtual std::optional<pcsc::Handle> service_handle(HandleKind kind, std::int32_t id) = 0;
    // After the service was asked to close a handle, with its status.
    virtual void closed(HandleKind kind, std::int32_t id, std::int32_t status) = 0;
    // Before a status-change wait enters the service: false when a cancel that
    // arrived after it has already ended it. A true answer is followed by
    // leave_wait() once the service returned.
    virtual bool enter_wait() = 0;
    virtual void leave_wait() = 0;
    // A call of this request found the service gone (pcsc::service_lost): the context
    // it named, or the card's context, is lost with it and its slots come free.
    virtual void service_lost() = 0;
};

// The hooks of the request run on this thread; nullptr outside a session.
SessionHooks* current_session_hooks();

// Installs hooks for the current thread for its lifetime.
class ScopedSessionHooks {
public:
    explicit ScopedSessionHooks(SessionHooks* hooks);
    ~ScopedSessionHooks();
    ScopedSessionHooks(const ScopedSessionHooks&) = delete;
    ScopedSessionHooks& operator=(const ScopedSessionHooks&) = delete;

private:
    SessionHooks* previous_;
};

// A handle about to be opened, as the operations use it: reserved on creation,
// given up unless opened() is called.
class HandleReservation {
public:
    HandleReservation(HandleKind kind, std::string_view operation);
    ~HandleReservation();
    HandleReservation(const HandleReservation&) = delete;
    HandleReservation& operator=(const HandleReservation&) = delete;
    // The id the extension gets for the service's new handle.
    std::int32_t opened(pcsc::Handle handle, std::int32_t context);

private:
    SessionHooks* hooks_;
    HandleKind kind_;
    bool done_ = false;
};

// A status-change wait inside the service; cancelled() when it must not enter.
class WaitScope {
public:
    WaitScope();
    ~WaitScope();
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
    bool cancelled() const { return !entered_ && hooks_ != nullptr; }

private:
    SessionHooks* hooks_;
    bool entered_ = false;
};

void note_handle_closed(HandleKind kind, std::int32_t id, std::int32_t status);
void note_service_lost();

// The service's handle for an id the extension sent, or none when the session did not
// hand it out (or no longer holds it).
std::optional<pcsc::Handle> service_handle(HandleKind kind, std::int32_t id);

}  // namespace Vorn_SCard_Bridge
