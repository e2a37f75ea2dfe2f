#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "scard/checked_call.h"
#include "scard/pcsc_service.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"

namespace Vorn_SCard_Bridge {

namespace {

// Characters of hexadecimal text, inclusive.
constexpr std::size_t MAX_CONTROL_HEX_LENGTH = 4096;
constexpr std::size_t MAX_ATTRIBUTE_HEX_LENGTH = 2 * pcsc::ATTRIBUTE_BUFFER_SIZE;
constexpr std::size_t APDU_HEADER_SIZE = 4;

// ASCII only: std::isxdigit depends on the locale and on the sign of char.
bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

pcsc::ProtocolRecord record_for(std::uint32_t protocol) {
    switch (protocol) {
        case 1:  // SCARD_PROTOCOL_T0
            return pcsc::ProtocolRecord::T0;
        case 4:  // SCARD_PROTOCOL_RAW
            return pcsc::ProtocolRecord::RAW;
        default:  // SCARD_PROTOCOL_T1, and whatever else the extension sends
            return pcsc::ProtocolRecord::T1;
    }
}

// Bytes that go to the reader driver as they are: no text is no bytes, and a text that
// is not pairs of hexadecimal digits is refused as a whole, so that the driver gets
// exactly the bytes the extension wrote, or nothing.
std::vector<std::uint8_t> exact_bytes(const std::string& data, std::size_t limit) {
    if (data.size() > limit) {
        throw std::runtime_error("Hex input too long: length=" + std::to_string(data.size()));
    }
    if (data.size() % 2 != 0 || !std::all_of(data.begin(), data.end(), is_hex_digit)) {
        raise_invalid_hex(data);
    }
    return data.empty() ? std::vector<std::uint8_t>() : from_hex_string(data);
}

}  // namespace

// The rejections below are answers, not failures: the extension receives them as a
// successful response whose list starts with "error". Their order is part of the
// contract, including that the text is decoded (and may throw) before anything is tested.
ResultList handle_smartcard_transmit(const std::int32_t& context, const std::int32_t& card,
                                     const std::uint32_t& protocol, const std::string& data) {
    const std::vector<std::uint8_t> command = from_hex_string(data);
    if (data.size() > MAX_TRANSMIT_HEX_LENGTH) {
        return {"error", "Data exceeds maximum allowed size"};
    }
    if (!std::all_of(data.begin(), data.end(), is_hex_digit)) {
        return {"error", "Invalid hex character in data"};
    }
    if (command.size() < APDU_HEADER_SIZE) {
        return {"error", "APDU command too short (minimum 4 bytes required)"};
    }

    // Not zero-filled: only the bytes the service reports are ever read, and
    // clearing 64 KiB on every APDU is measurable.
    const std::unique_ptr<std::uint8_t[]> response(new std::uint8_t[pcsc::MAX_RESPONSE_SIZE]);
    std::uint32_t response_length = pcsc::MAX_RESPONSE_SIZE;
    constexpr std::string_view OPERATION = "handle_smartcard_transmit";
    check_status(OPERATION,
                 pcsc::transmit(card_handle(OPERATION, card), record_for(protocol), command.data(),
                                static_cast<std::uint32_t>(command.size()), response.get(),
                                response_length));
    const std::size_t received = std::min<std::uint32_t>(response_length, pcsc::MAX_RESPONSE_SIZE);

    return {"0x00000000", to_hex(context), to_hex(card), std::to_string(protocol),
            to_hex_string(response.get(), received)};
}

// One call with room for the largest answer a driver may give: a control code can
// act (a PIN entry, a counter, an escape command), so it must not run twice, and
// the answer is exactly the bytes the driver returned.
ResultList handle_smartcard_control(const std::int32_t& context, const std::int32_t& card,
                                    const std::uint32_t& control_code, const std::string& data) {
    // No text is no input: a feature query has none.
    const std::vector<std::uint8_t> input = exact_bytes(data, MAX_CONTROL_HEX_LENGTH);

    const std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[pcsc::MAX_CONTROL_OUTPUT_SIZE]);
    std::uint32_t bytes_returned = 0;
    constexpr std::string_view OPERATION = "handle_smartcard_control";
    check_status(OPERATION, pcsc::control(card_handle(OPERATION, card), control_code, input.data(),
                                          static_cast<std::uint32_t>(input.size()), output.get(),
                                          pcsc::MAX_CONTROL_OUTPUT_SIZE, bytes_returned));
    const std::size_t received =
        std::min<std::uint32_t>(bytes_returned, pcsc::MAX_CONTROL_OUTPUT_SIZE);

    return {"0x00000000", to_hex(context), to_hex(card), to_hex_string(output.get(), received)};
}

// Read at once into a buffer that holds any attribute pcsc-lite passes on: a size
// query first reads a value that may change between reads twice, and fails where a
// service refuses size queries for the attributes it answers itself. Only a platform
// that asks for a larger buffer gets a second call, with the size it asked for.
ResultList handle_smartcard_get_attrib(const std::int32_t& context, const std::int32_t& card,
                                       const std::uint32_t& attribute_id) {
    constexpr std::string_view OPERATION = "handle_smartcard_get_attrib";
    const pcsc::Handle service_card = card_handle(OPERATION, card);
    std::vector<std::uint8_t> value(pcsc::ATTRIBUTE_BUFFER_SIZE);
    std::uint32_t length = pcsc::ATTRIBUTE_BUFFER_SIZE;
    std::int32_t status = pcsc::get_attrib(service_card, attribute_id, value.data(), length);
    if (status == pcsc::E_INSUFFICIENT_BUFFER && length > value.size() &&
        length <= pcsc::MAX_CONTROL_OUTPUT_SIZE) {
        value.resize(length);
        status = pcsc::get_attrib(service_card, attribute_id, value.data(), length);
    }
    check_status(OPERATION, status);
    value.resize(std::min<std::size_t>(length, value.size()));

    return {"0x00000000", to_hex(context), to_hex(card),
            to_hex(static_cast<std::int32_t>(attribute_id)), to_hex_string(value)};
}

// The reader decides which attributes it lets a program set, and the value's form.
ResultList handle_smartcard_set_attrib(const std::int32_t& /*context*/, const std::int32_t& card,
                                       const std::uint32_t& attribute_id, const std::string& data) {
    constexpr std::string_view OPERATION = "handle_smartcard_set_attrib";
    const std::vector<std::uint8_t> value = exact_bytes(data, MAX_ATTRIBUTE_HEX_LENGTH);
    check_status(OPERATION,
                 pcsc::set_attrib(card_handle(OPERATION, card), attribute_id, value.data(),
                                  static_cast<std::uint32_t>(value.size())));
    return {"0x00000000"};
}

}  // namespace Vorn_SCard_Bridge
