#include "processing/command_params.h"

#include <cmath>
#include <stdexcept>

namespace Vorn_SCard_Bridge {

namespace {

// A number in a request becomes a 32-bit value the way integers convert: modulo
// 2^32. A fractional number is cut towards zero first. One that no 64-bit
// integer can hold (or NaN) has no such value and is refused instead of being
// handed to an undefined conversion.
std::uint64_t integer_bits(const nlohmann::json& value) {
    if (value.is_number_float()) {
        const double number = std::trunc(value.get<double>());
        if (!std::isfinite(number) || number < -9223372036854775808.0 ||
            number >= 9223372036854775808.0) {
            throw std::runtime_error("Number out of range: " + value.dump());
        }
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(number));
    }
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer()) return static_cast<std::uint64_t>(value.get<std::int64_t>());
    // Booleans convert as the library converts them (true is 1); every other
    // type fails with the library's type error.
    return value.get<std::uint32_t>();
}

}  // namespace

void CommandParams::require_any(const std::string& message) const {
    if (params.empty()) throw std::runtime_error(message);
}

void CommandParams::require_at_least(std::size_t minimum, const std::string& message) const {
    if (count() < minimum) throw std::runtime_error(message);
}

const nlohmann::json& CommandParams::element(std::size_t index) const {
    // Only arrays are read by position; the library's operator[] reports any
    // other "params" with its type error.
    if (params.is_array() && index >= params.size()) {
        throw std::runtime_error("Missing parameter at index " + std::to_string(index));
    }
    return params[index];
}

std::string CommandParams::text(std::size_t index) const {
    return element(index).get<std::string>();
}

std::uint32_t CommandParams::unsigned_number(std::size_t index) const {
    return static_cast<std::uint32_t>(integer_bits(element(index)));
}

std::int32_t CommandParams::signed_number(std::size_t index) const {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(integer_bits(element(index))));
}

void require_not_empty(std::initializer_list<const std::string*> texts,
                       const std::string& message) {
    for (const std::string* text : texts) {
        if (text->empty()) throw std::runtime_error(message);
    }
}

void require_at_most(const std::string& text, std::size_t limit, const std::string& message) {
    if (text.size() > limit) throw std::runtime_error(message);
}

}  // namespace Vorn_SCard_Bridge
