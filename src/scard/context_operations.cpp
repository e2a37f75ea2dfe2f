#include "scard/checked_call.h"
#include "scard/pcsc_service.h"
#include "scard/session_hooks.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"

namespace Vorn_SCard_Bridge {

ResultList handle_smartcard_establish_context(std::int32_t& context, std::uint32_t scope) {
    HandleReservation slot(HandleKind::CONTEXT, "handle_smartcard_establish_context");
    pcsc::Handle handle = 0;
    check_status("handle_smartcard_establish_context", pcsc::establish_context(scope, handle));
    context = slot.opened(handle, 0);
    return {"0x00000000", to_hex(context)};
}

ResultList handle_smartcard_release_context(const std::int32_t& context) {
    const std::int32_t status =
        pcsc::release_context(context_handle("handle_smartcard_release_context", context));
    note_handle_closed(HandleKind::CONTEXT, context, status);
    check_status("handle_smartcard_release_context", status);
    return {"0x00000000"};
}

// No list ever says "invalid": a context the service refuses is a failure like any other.
ResultList handle_smartcard_is_valid_context(const std::int32_t& context) {
    constexpr std::string_view OPERATION = "handle_smartcard_is_valid_context";
    check_status(OPERATION, pcsc::is_valid_context(context_handle(OPERATION, context)));
    return {"0x00000000"};
}

ResultList handle_smartcard_cancel(const std::int32_t& context) {
    require_valid_context("handle_smartcard_cancel", context);
    check_status("handle_smartcard_cancel",
                 pcsc::cancel(context_handle("handle_smartcard_cancel", context)));
    return {"0x00000000"};
}

bool validate_context(const std::int32_t& context) {
    const auto handle = service_handle(HandleKind::CONTEXT, context);
    return handle && pcsc::is_valid_context(*handle) == pcsc::SUCCESS;
}

}  // namespace Vorn_SCard_Bridge
