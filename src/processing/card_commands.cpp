#include "processing/card_handles.h"
#include "processing/command_params.h"
#include "processing/commands.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"

namespace Vorn_SCard_Bridge {

namespace {
constexpr std::size_t MAX_READER_NAME_LENGTH = 256;
constexpr std::uint32_t MAX_SHARE_MODE = 3;

std::string decimal(std::uint32_t value) { return std::to_string(value); }
}  // namespace

nlohmann::json run_connect(const CommandCall& call) {
    call.debug("Executing connect command");
    const CommandParams params(call.params);
    if (params.count() < 4) {
        call.error("Insufficient parameters for connect");
        throw std::runtime_error("Insufficient parameters for connect");
    }
    const std::string context_text = params.text(0);
    const std::string reader_name = params.text(1);
    const std::uint32_t share_mode = params.unsigned_number(2);
    const std::uint32_t protocol = params.unsigned_number(3);
    require_not_empty({&context_text, &reader_name}, "Empty parameter(s) for connect");
    require_at_most(reader_name, MAX_READER_NAME_LENGTH, "Reader name exceeds maximum length");
    if (share_mode > MAX_SHARE_MODE) {
        throw std::runtime_error("Invalid share_mode value: " + decimal(share_mode));
    }
    const std::int32_t context = from_hex(context_text);
    const std::string settings =
        "share_mode: " + decimal(share_mode) + ", protocol: " + decimal(protocol);
    call.debug([&] { return "Connecting to reader '" + reader_name + "' (" + settings + ")"; });
    nlohmann::json result = handle_smartcard_connect(context, reader_name, share_mode, protocol);
    call.info("Connected to reader successfully (reader: " + reader_name + ", " + settings + ")");
    return result;
}

nlohmann::json run_reconnect(const CommandCall& call) {
    call.debug("Executing reconnect command");
    const CommandParams params(call.params);
    params.require_at_least(5, "Insufficient parameters for reconnect");
    const auto handles = CardHandleTexts::read(params);
    const std::uint32_t share_mode = params.unsigned_number(2);
    const std::uint32_t protocol = params.unsigned_number(3);
    const std::uint32_t initialization = params.unsigned_number(4);
    handles.require_not_empty("Empty parameter(s) for reconnect");
    const auto [context, card, card_hex] = handles.convert();
    const std::string settings =
        "share_mode: " + decimal(share_mode) + ", protocol: " + decimal(protocol);
    call.debug([&, &card_hex = card_hex] {
        return "Reconnecting to card: " + card_hex + " (" + settings +
               ", initialization: " + decimal(initialization) + ")";
    });
    nlohmann::json result =
        handle_smartcard_reconnect(context, card, share_mode, protocol, initialization);
    call.info("Reconnected to card successfully (card: " + card_hex + ", " + settings + ")");
    return result;
}

nlohmann::json run_disconnect(const CommandCall& call) {
    call.debug("Executing disconnect command");
    const CommandParams params(call.params);
    params.require_at_least(3, "Insufficient parameters for disconnect");
    const auto handles = CardHandleTexts::read(params);
    const std::uint32_t disposition = params.unsigned_number(2);
    handles.require_not_empty("Empty parameter(s) for disconnect");
    const auto [context, card, card_hex] = handles.convert();
    call.debug([&, &card_hex = card_hex] {
        return "Disconnecting from card: " + card_hex + " (disposition: " + decimal(disposition) +
               ")";
    });
    nlohmann::json result = handle_smartcard_disconnect(context, card, disposition);
    call.info("Disconnected from card successfully (card: " + card_hex +
              ", disposition: " + decimal(disposition) + ")");
    return result;
}

nlohmann::json run_begin_transaction(const CommandCall& call) {
    call.debug("Executing begin_transaction command");
    const CommandParams params(call.params);
    params.require_at_least(2, "Insufficient parameters for begin_transaction");
    const auto handles = CardHandleTexts::read(params);
    handles.require_not_empty("Empty parameter(s) for begin_transaction");
    const auto [context, card, card_hex] = handles.convert();
    call.debug([&, &card_hex = card_hex] { return "Beginning transaction for card: " + card_hex; });
    nlohmann::json result = handle_smartcard_begin_transaction(context, card);
    call.info("Transaction begun successfully (card: " + card_hex + ")");
    return result;
}

nlohmann::json run_end_transaction(const CommandCall& call) {
    call.debug("Executing end_transaction command");
    const CommandParams params(call.params);
    params.require_at_least(3, "Insufficient parameters for end_transaction");
    const auto handles = CardHandleTexts::read(params);
    const std::uint32_t disposition = params.unsigned_number(2);
    handles.require_not_empty("Empty parameter(s) for end_transaction");
    const auto [context, card, card_hex] = handles.convert();
    call.debug([&, &card_hex = card_hex] {
        return "Ending transaction for card: " + card_hex +
               " (disposition: " + decimal(disposition) + ")";
    });
    nlohmann::json result = handle_smartcard_end_transaction(context, card, disposition);
    call.info("Transaction ended successfully (card: " + card_hex +
              ", disposition: " + decimal(disposition) + ")");
    return result;
}

nlohmann::json run_status(const CommandCall& call) {
    call.debug([&] { return "Executing " + call.command + " command"; });
    const CommandParams params(call.params);
    params.require_at_least(2, "Insufficient parameters for status");
    const auto handles = CardHandleTexts::read(params);
    handles.require_not_empty("Empty parameter(s) for status");
    const auto [context, card, card_hex] = handles.convert();
    call.debug([&, &card_hex = card_hex] { return "Getting status for card: " + card_hex; });
    nlohmann::json result = handle_smartcard_status(context, card);
    call.info("Card status retrieved successfully (card: " + card_hex + ")");
    return result;
}

}  // namespace Vorn_SCard_Bridge
