#pragma once

// The one place where a PC/SC status becomes a VornSCardException. Every operation
// hands its service status to check_status together with its own name; nothing else
// tests `status != 0` or builds an "Error in ..." message.

#include <cstdint>
#include <string_view>

#include "scard/pcsc_service.h"

namespace Vorn_SCard_Bridge {

// Throws VornSCardException(status, "Error in <operation>: <status text>") unconditionally.
// Also used where a status of 0 must still fail (an empty reader list).
[[noreturn]] void raise_scard_error(std::string_view operation, std::int32_t status);

// Throws as raise_scard_error when the status is not success.
inline void check_status(std::string_view operation, std::int32_t status) {
    if (status != 0) raise_scard_error(operation, status);
}

// The service's handle behind a context or card id the extension sent. An id the
// session did not hand out, or no longer holds, fails as the service fails an invalid
// handle (0x80100003), without reaching the service.
pcsc::Handle context_handle(std::string_view operation, std::int32_t context);
pcsc::Handle card_handle(std::string_view operation, std::int32_t card);

// Throws VornSCardException(0x80100003, "Error in <operation>: Context is no longer
// valid") without asking the service anything further when validate_context says no.
void require_valid_context(std::string_view operation, std::int32_t context);

}  // namespace Vorn_SCard_Bridge
