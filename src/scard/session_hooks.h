#pragma once

// What the operations tell the session that owns the request being run on this
// thread, and what it may refuse: a new handle beyond the session's caps, or a
// status-change wait that a cancel has already ended. Outside a session (tests of
// the operations, the fuzzers) there is none and every hook does nothing.

#include <cstdint>
#include <string_view>

namespace Vorn_SCard_Bridge {

enum class HandleKind { CONTEXT, CARD };

class SessionHooks {
public:
    virtual ~SessionHooks() = default;
    // Before a handle is opened: throws VornSCardException when the session holds
    // as many as it may. A successful reserve is followed by exactly one of
    // opened() or open_failed().
    virtual void reserve(HandleKind kind, std::string_view operation) = 0;
    virtual void opened(HandleKind kind, std::int32_t handle, std::int32_t context) = 0;
    virtual void open_failed(HandleKind kind) = 0;
    // After the service was asked to close a handle, with its status.
    virtual void closed(HandleKind kind, std::int32_t handle, std::int32_t status) = 0;
    // Before a status-change wait enters the service: false when a cancel that
    // arrived after it has already ended it. A true answer is followed by
    // leave_wait() once the service returned.
    virtual bool enter_wait() = 0;
    virtual void leave_wait() = 0;
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
    void opened(std::int32_t handle, std::int32_t context);

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

void note_handle_closed(HandleKind kind, std::int32_t handle, std::int32_t status);

}  // namespace Vorn_SCard_Bridge
