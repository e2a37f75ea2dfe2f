#include "scard/checked_call.h"

#include <string>

#include "scard/pcsc_service.h"
#include "scard/session_hooks.h"
#include "scard/smartcard_operations.h"
#include "support/exceptions.h"
#include "support/status_messages.h"

namespace Vorn_SCard_Bridge {

namespace {

std::string error_prefix(std::string_view operation) {
    std::string prefix = "Error in ";
    prefix += operation;
    prefix += ": ";
    return prefix;
}

}  // namespace

void raise_scard_error(std::string_view operation, std::int32_t status) {
    if (pcsc::service_lost(status)) note_service_lost();
    throw VornSCardException(status, error_prefix(operation) + get_win_scard_error_string(status));
}

pcsc::Handle context_handle(std::string_view operation, std::int32_t context) {
    const auto handle = service_handle(HandleKind::CONTEXT, context);
    if (!handle) raise_scard_error(operation, pcsc::E_INVALID_HANDLE);
    return *handle;
}

pcsc::Handle card_handle(std::string_view operation, std::int32_t card) {
    const auto handle = service_handle(HandleKind::CARD, card);
    if (!handle) raise_scard_error(operation, pcsc::E_INVALID_HANDLE);
    return *handle;
}

void require_valid_context(std::string_view operation, std::int32_t context) {
    if (!validate_context(context)) {
        throw VornSCardException(pcsc::E_INVALID_HANDLE,
                                 error_prefix(operation) + "Context is no longer valid");
    }
}

}  // namespace Vorn_SCard_Bridge
