#include "processing/card_handles.h"
#include "processing/command_params.h"
#include "processing/commands.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"

namespace Vorn_SCard_Bridge {

namespace {
constexpr std::size_t MAX_DATA_LENGTH = 131072;
constexpr std::size_t PREVIEW_LENGTH = 16;

void require_data_size(const std::string& data, const char* what) {
    if (data.size() > MAX_DATA_LENGTH) {
        throw std::runtime_error(std::string(what) + " data exceeds maximum size. Data was " +
                                 std::to_string(data.size()) + " characters");
    }
}
}  // namespace

nlohmann::json run_transmit(const CommandCall& call) {
    call.debug("Executing transmit command");
    const CommandParams params(call.params);
    params.require_at_least(4, "Insufficient parameters for transmit");
    const auto handles = CardHandleTexts::read(params);
    const std::uint32_t protocol = params.unsigned_number(2);
    const std::string data = params.text(3);
    handles.require_not_empty("Empty parameter(s) for transmit");
    require_data_size(data, "Transmit");
    const auto [context, card, card_hex] = handles.convert();
    const std::string length = std::to_string(data.size());
    if (call.debug_enabled()) {
        call.debug("Transmitting data to card: " + card_hex + " (protocol: " +
                   std::to_string(protocol) + ", data_length: " + length + " chars)");
        std::string preview = data.substr(0, PREVIEW_LENGTH);
        if (data.size() > PREVIEW_LENGTH) preview += "...";
        call.debug("Transmit data preview: " + preview);
    }
    nlohmann::json result = handle_smartcard_transmit(context, card, protocol, data);
    call.info("Data transmitted successfully (card: " + card_hex +
              ", protocol: " + std::to_string(protocol) + ", data_length: " + length + ")");
    return result;
}

nlohmann::json run_control(const CommandCall& call) {
    call.debug("Executing control command");
    const CommandParams params(call.params);
    params.require_at_least(4, "Insufficient parameters for control");
    const auto handles = CardHandleTexts::read(params);
    const std::uint32_t control_code = params.unsigned_number(2);
    const std::string data = params.text(3);
    handles.require_not_empty("Empty parameter(s) for control");
    require_data_size(data, "Control");
    const auto [context, card, card_hex] = handles.convert();
    call.debug([&, &card_hex = card_hex] {
        return "Sending control command to card: " + card_hex +
               " (control_code: " + std::to_string(control_code) +
               ", data_length: " + std::to_string(data.size()) + ")";
    });
    nlohmann::json result = handle_smartcard_control(context, card, control_code, data);
    call.info("Control command executed successfully (card: " + card_hex +
              ", control_code: " + std::to_string(control_code) + ")");
    return result;
}

nlohmann::json run_set_attrib(const CommandCall& call) {
    call.debug("Executing set_attrib command");
    const CommandParams params(call.params);
    params.require_at_least(4, "Insufficient parameters for set_attrib");
    const auto handles = CardHandleTexts::read(params);
    const std::uint32_t attribute_id = params.unsigned_number(2);
    const std::string value = params.text(3);
    handles.require_not_empty("Empty parameter(s) for set_attrib");
    const auto [context, card, card_hex] = handles.convert();
    call.debug([&, &card_hex = card_hex] {
        return "Setting attribute " + std::to_string(attribute_id) + " for card: " + card_hex +
               " (value_length: " + std::to_string(value.size()) + " chars)";
    });
    nlohmann::json result = handle_smartcard_set_attrib(context, card, attribute_id, value);
    call.info("Attribute set successfully (attribute_id: " + std::to_string(attribute_id) + ")");
    return result;
}

nlohmann::json run_get_attrib(const CommandCall& call) {
    call.debug("Executing get_attrib command");
    const CommandParams params(call.params);
    params.require_at_least(3, "Insufficient parameters for get_attrib");
    const auto handles = CardHandleTexts::read(params);
    const std::uint32_t attribute_id = params.unsigned_number(2);
    handles.require_not_empty("Empty parameter(s) for get_attrib");
    const auto [context, card, card_hex] = handles.convert();
    call.debug([&, &card_hex = card_hex] {
        return "Getting attribute " + std::to_string(attribute_id) + " for card: " + card_hex;
    });
    nlohmann::json result = handle_smartcard_get_attrib(context, card, attribute_id);
    call.info("Attribute retrieved successfully (attribute_id: " + std::to_string(attribute_id) +
              ")");
    return result;
}

}  // namespace Vorn_SCard_Bridge
