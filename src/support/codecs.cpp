#include "support/codecs.h"

#include <array>
#include <sstream>
#include <stdexcept>

namespace Vorn_SCard_Bridge {

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A piece that is not two hexadecimal digits is read the way a stream extraction
// of an unsigned hexadecimal number reads it ("4G" -> 0x04, "G4" -> 0x00); the
// plain case is decoded directly because APDUs can be 64 KiB long.
std::uint8_t decode_piece(char high, char low) {
    const int h = hex_digit_value(high);
    const int l = hex_digit_value(low);
    if (h >= 0 && l >= 0) return static_cast<std::uint8_t>((h << 4) | l);
    std::istringstream stream(std::string{high, low});
    unsigned int value = 0;
    stream >> std::hex >> value;
    return static_cast<std::uint8_t>(value & 0xFFu);
}

// Reads `digits` as an unsigned hexadecimal number the way glibc's strtoull does
// (leading blanks, a sign, an optional 0x before a digit, digits up to the first
// other character, a minus negating modulo 2^64), written out so that every
// platform's C library gives the same result. Throws std::invalid_argument without
// a digit and std::out_of_range beyond 64 bits, with the texts of std::stoull.
unsigned long long parse_unsigned_hex(const std::string& digits) {
    std::size_t i = 0;
    while (i < digits.size() && (digits[i] == ' ' || (digits[i] >= '\t' && digits[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < digits.size() && (digits[i] == '+' || digits[i] == '-')) negative = digits[i++] == '-';
    if (i + 2 < digits.size() && digits[i] == '0' &&
        (digits[i + 1] == 'x' || digits[i + 1] == 'X') && hex_digit_value(digits[i + 2]) >= 0) {
        i += 2;
    }
    const std::size_t first_digit = i;
    unsigned long long value = 0;
    bool overflow = false;
    for (int digit; i < digits.size() && (digit = hex_digit_value(digits[i])) >= 0; ++i) {
        if (value > (~0ull >> 4)) overflow = true;
        value = (value << 4) | static_cast<unsigned>(digit);
    }
    if (i == first_digit) throw std::invalid_argument("stoull");
    if (overflow) throw std::out_of_range("stoull");
    return negative ? 0ull - value : value;
}

}  // namespace

std::int32_t from_hex(const std::string& text) {
    std::string digits = text;
    if (text.size() > 2 && text[0] == '0' && text[1] == 'x') digits = text.substr(2);
    try {
        const unsigned long long value = parse_unsigned_hex(digits);
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xFFFFFFFFull));
    } catch (const std::exception& e) {
        throw std::runtime_error("Error converting string '" + text +
                                 "' to hex value: " + e.what());
    }
}

std::string to_hex(const std::int32_t& value) {
    const auto pattern = static_cast<std::uint32_t>(value);
    std::string text = "0x00000000";
    for (int i = 0; i < 8; ++i) {
        text[9 - i] = HEX_DIGITS[(pattern >> (4 * i)) & 0xFu];
    }
    return text;
}

void raise_invalid_hex(const std::string& text) {
    std::string preview = text.substr(0, 32);
    if (text.size() > 32) preview += "...";
    throw std::runtime_error("Invalid hex string at offset: preview='" + preview + "'");
}

std::vector<std::uint8_t> from_hex_string(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0) raise_invalid_hex(text);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(decode_piece(text[i], text[i + 1]));
    }
    return bytes;
}

std::string to_hex_string(const std::uint8_t* bytes, std::size_t count) {
    std::string text(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = HEX_DIGITS[bytes[i] >> 4];
        text[2 * i + 1] = HEX_DIGITS[bytes[i] & 0xFu];
    }
    return text;
}

std::string to_hex_string(const std::vector<std::uint8_t>& bytes) {
    return to_hex_string(bytes.data(), bytes.size());
}

std::string multi_string_to_comma_string(const char* multi_string) {
    std::string result;
    if (multi_string == nullptr) return result;
    const char* p = multi_string;
    while (*p != '\0') {
        const std::string name(p);
        result += name;
        p += name.size() + 1;
        if (*p != '\0') result += ',';
    }
    return result;
}

std::string multi_string_to_comma_string(const char* multi_string, std::size_t size) {
    return comma_joined(split_multi_string(multi_string, size));
}

std::string comma_joined(const std::vector<std::string>& names) {
    std::string result;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) result += ',';
        result += names[i];
    }
    return result;
}

std::vector<std::string> split_multi_string(const char* multi_string, std::size_t size) {
    std::vector<std::string> names;
    if (multi_string == nullptr) return names;
    std::size_t i = 0;
    while (i < size && multi_string[i] != '\0') {
        std::size_t end = i;
        while (end < size && multi_string[end] != '\0') ++end;
        names.emplace_back(multi_string + i, end - i);
        i = end + 1;
    }
    return names;
}

}  // namespace Vorn_SCard_Bridge
