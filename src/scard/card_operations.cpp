#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "scard/checked_call.h"
#include "scard/pcsc_service.h"
#include "scard/session_hooks.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"
#include "support/reader_name_text.h"

namespace Vorn_SCard_Bridge {

namespace {

std::string word_hex(std::uint32_t word) { return to_hex(static_cast<std::int32_t>(word)); }

// The Windows smart-card API reports a powered card with an ATR as SCARD_SPECIFIC (6);
// the extension was written against that, while pcsc-lite and macOS report bit flags.
constexpr std::uint32_t STATE_SPECIFIC = 6;

}  // namespace

ResultList handle_smartcard_connect(const std::int32_t& context, const std::string& reader_name,
                                    const std::uint32_t& share_mode,
                                    const std::uint32_t& preferred_protocols) {
    require_valid_context("handle_smartcard_connect", context);
    std::int32_t card = 0;
    std::uint32_t active_protocol = 0;
    HandleReservation slot(HandleKind::CARD, "handle_smartcard_connect");
    const pcsc::Handle service_context = context_handle("handle_smartcard_connect", context);
    const std::string service_name = service_reader_name(reader_name);
    pcsc::Handle handle = 0;
    check_status("handle_smartcard_connect",
                 pcsc::connect(service_context, service_name.c_str(), share_mode,
                               preferred_protocols, handle, active_protocol));
    card = slot.opened(handle, context);
    return {"0x00000000", to_hex(context), to_hex(card), word_hex(active_protocol)};
}

// Reconnect, disconnect and the transactions act on the card alone; the context is only
// echoed back, valid or not.
ResultList handle_smartcard_reconnect(const std::int32_t& context, const std::int32_t& card,
                                      const std::uint32_t& share_mode,
                                      const std::uint32_t& preferred_protocols,
                                      const std::uint32_t& initialization) {
    std::uint32_t active_protocol = 0;
    constexpr std::string_view OPERATION = "handle_smartcard_reconnect";
    check_status(OPERATION, pcsc::reconnect(card_handle(OPERATION, card), share_mode,
                                            preferred_protocols, initialization, active_protocol));
    return {"0x00000000", to_hex(context), to_hex(card), word_hex(active_protocol)};
}

ResultList handle_smartcard_disconnect(const std::int32_t& context, const std::int32_t& card,
                                       const std::uint32_t& disposition) {
    const std::int32_t status =
        pcsc::disconnect(card_handle("handle_smartcard_disconnect", card), disposition);
    note_handle_closed(HandleKind::CARD, card, status);
    check_status("handle_smartcard_disconnect", status);
    return {"0x00000000", to_hex(context), to_hex(card)};
}

ResultList handle_smartcard_begin_transaction(const std::int32_t& /*context*/,
                                              const std::int32_t& card) {
    constexpr std::string_view OPERATION = "handle_smartcard_begin_transaction";
    check_status(OPERATION, pcsc::begin_transaction(card_handle(OPERATION, card)));
    return {"0x00000000"};
}

ResultList handle_smartcard_end_transaction(const std::int32_t& /*context*/,
                                            const std::int32_t& card,
                                            const std::uint32_t& disposition) {
    constexpr std::string_view OPERATION = "handle_smartcard_end_transaction";
    check_status(OPERATION, pcsc::end_transaction(card_handle(OPERATION, card), disposition));
    return {"0x00000000"};
}

ResultList handle_smartcard_status(const std::int32_t& context, const std::int32_t& card) {
    constexpr std::string_view OPERATION = "handle_smartcard_status";
    require_valid_context(OPERATION, context);
    const pcsc::Handle service_card = card_handle(OPERATION, card);

    std::uint32_t name_length = 0;
    std::uint32_t state = 0;
    std::uint32_t protocol = 0;
    std::array<std::uint8_t, pcsc::MAX_ATR_SIZE> atr{};
    auto atr_length = static_cast<std::uint32_t>(atr.size());

    // First call sizes the reader name only; the ATR buffer is handed over in the second.
    check_status(OPERATION, pcsc::status(service_card, nullptr, name_length, state, protocol,
                                         nullptr, atr_length));
    if (name_length == 0) {
        return {"0x00000000",
                to_hex(context),
                to_hex(card),
                "",
                word_hex(state),
                word_hex(protocol),
                ""};
    }

    std::vector<char> name(name_length, '\0');
    check_status(OPERATION, pcsc::status(service_card, name.data(), name_length, state, protocol,
                                         atr.data(), atr_length));

    if ((state & pcsc::STATE_POWERED) != 0 && atr_length > 0) state = STATE_SPECIFIC;

    // The service's lengths are not trusted beyond our own buffers: the ATR stops at 33
    // bytes and the name at its first NUL or the end of the buffer, whichever comes first.
    // A multi-string of several names thereby reports the first one.
    const std::size_t atr_bytes = std::min<std::size_t>(atr_length, atr.size());
    const std::string reader_name =
        shown_reader_name(std::string_view(name.data(), ::strnlen(name.data(), name.size())));

    return {"0x00000000",
            to_hex(context),
            to_hex(card),
            reader_name,
            word_hex(state),
            word_hex(protocol),
            to_hex_string(atr.data(), atr_bytes)};
}

}  // namespace Vorn_SCard_Bridge
