#include "scard/session_hooks.h"

namespace Vorn_SCard_Bridge {

namespace {
thread_local SessionHooks* current_hooks = nullptr;
}  // namespace

SessionHooks* current_session_hooks() { return current_hooks; }

ScopedSessionHooks::ScopedSessionHooks(SessionHooks* hooks) : previous_(current_hooks) {
    current_hooks = hooks;
}

ScopedSessionHooks::~ScopedSessionHooks() { current_hooks = previous_; }

HandleReservation::HandleReservation(HandleKind kind, std::string_view operation)
    : hooks_(current_hooks), kind_(kind) {
    if (hooks_ != nullptr) hooks_->reserve(kind, operation);
}

HandleReservation::~HandleReservation() {
    if (hooks_ != nullptr && !done_) hooks_->open_failed(kind_);
}

std::int32_t HandleReservation::opened(pcsc::Handle handle, std::int32_t context) {
    const bool report = hooks_ != nullptr && !done_;
    done_ = true;
    if (report) return hooks_->opened(kind_, handle, context);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(handle));
}

WaitScope::WaitScope() : hooks_(current_hooks) {
    if (hooks_ != nullptr) entered_ = hooks_->enter_wait();
}

WaitScope::~WaitScope() {
    if (hooks_ != nullptr && entered_) hooks_->leave_wait();
}

void note_handle_closed(HandleKind kind, std::int32_t id, std::int32_t status) {
    if (current_hooks != nullptr) current_hooks->closed(kind, id, status);
}

void note_service_lost() {
    if (current_hooks != nullptr) current_hooks->service_lost();
}

std::optional<pcsc::Handle> service_handle(HandleKind kind, std::int32_t id) {
    if (current_hooks != nullptr) return current_hooks->service_handle(kind, id);
    return static_cast<pcsc::Handle>(static_cast<std::uint32_t>(id));
}

}  // namespace Vorn_SCard_Bridge
