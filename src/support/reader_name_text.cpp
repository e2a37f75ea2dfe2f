#include "support/reader_name_text.h"

#include <cstdio>

#include "support/utf8.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string shown_reader_name(std::string_view service_name) {
    if (is_utf8(service_name) && service_name.find(REPLACEMENT) == std::string_view::npos) {
        return std::string(service_name);
    }
    std::string shown;
    shown.reserve(service_name.size() * 2);
    for (std::size_t at = 0; at < service_name.size();) {
        const std::size_t length = utf8_sequence_length(service_name, at);
        if (length == 0) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X",
                          static_cast<unsigned>(static_cast<unsigned char>(service_name[at])));
            shown.append(REPLACEMENT).append(digits, 2);
            ++at;
            continue;
        }
        const std::string_view sequence = service_name.substr(at, length);
        shown.append(sequence);
        if (sequence == REPLACEMENT) shown.append(REPLACEMENT);
        at += length;
    }
    return shown;
}

std::string service_reader_name(std::string_view shown) {
    if (shown.find(REPLACEMENT) == std::string_view::npos) return std::string(shown);
    std::string name;
    name.reserve(shown.size());
    for (std::size_t at = 0; at < shown.size();) {
        if (shown.substr(at, REPLACEMENT.size()) != REPLACEMENT) {
            name.push_back(shown[at++]);
            continue;
        }
        at += REPLACEMENT.size();
        if (shown.substr(at, REPLACEMENT.size()) == REPLACEMENT) {
            name.append(REPLACEMENT);  // a U+FFFD of the name itself
            at += REPLACEMENT.size();
        } else if (at + 2 <= shown.size() && hex_digit(shown[at]) >= 0 &&
                   hex_digit(shown[at + 1]) >= 0) {
            name.push_back(static_cast<char>(hex_digit(shown[at]) * 16 + hex_digit(shown[at + 1])));
            at += 2;
        } else {
            name.append(REPLACEMENT);
        }
    }
    return name;
}

}  // namespace Vorn_SCard_Bridge
