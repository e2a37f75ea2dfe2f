#pragma once

// Conversions between the values the PC/SC service takes or gives and the texts
// that carry them over the JSON channel.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vorn_SCard_Bridge {

// "0x1A2B3C4D", "1a2b3c4d", ... -> the low 32 bits as a signed integer.
std::int32_t from_hex(const std::string& text);

// The 32-bit pattern as "0x" and exactly eight upper-case hexadecimal digits.
std::string to_hex(const std::int32_t& value);

// Even-length hexadecimal text -> bytes, two characters per byte.
std::vector<std::uint8_t> from_hex_string(const std::string& text);

// Raises the runtime_error that from_hex_string raises for a text it cannot cut
// into pairs ("Invalid hex string at offset: preview='...'").
[[noreturn]] void raise_invalid_hex(const std::string& text);

// Bytes -> two upper-case hexadecimal digits per byte, no separators.
std::string to_hex_string(const std::vector<std::uint8_t>& bytes);
std::string to_hex_string(const std::uint8_t* bytes, std::size_t count);

// A PC/SC multi-string ("A\0B\0\0") -> "A,B".
std::string multi_string_to_comma_string(const char* multi_string);

// The same, never reading past `size` bytes: a list that the service failed to
// terminate ends at the end of its buffer.
std::string multi_string_to_comma_string(const char* multi_string, std::size_t size);

// Names -> "A,B": no blank after a comma, commas inside names as they are.
std::string comma_joined(const std::vector<std::string>& names);

// A PC/SC multi-string -> its names, never reading past `size` bytes.
std::vector<std::string> split_multi_string(const char* multi_string, std::size_t size);

}  // namespace Vorn_SCard_Bridge
