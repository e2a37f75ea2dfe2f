#include "logging/log_escape.h"

#include <cstdio>
#include <string>

#include "support/utf8.h"

namespace Vorn_SCard_Bridge {

namespace {

bool is_c0_or_del(unsigned char c) { return c < 0x20 || c == 0x7F; }

// U+0080..U+009F are encoded as C2 80..C2 9F.
bool is_c1_at(std::string_view text, std::size_t i) {
    return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

}  // namespace

std::string_view cut_for_log(std::string_view text, std::size_t limit, std::string& storage) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    // Not inside a UTF-8 sequence: back up over continuation bytes.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    storage.assign(text.substr(0, end));
    storage += "... [" + std::to_string(text.size()) + " bytes]";
    return storage;
}

bool needs_log_escaping(std::string_view text) {
    // One pass, printable ASCII first: it is every byte of nearly every line.
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) continue;
        if (c < 0x80) return true;  // C0 or DEL
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0 || is_c1_at(text, i)) return true;
        i += length - 1;
    }
    return false;
}

std::string escape_for_log(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    char buffer[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (is_c1_at(text, i)) {
            std::snprintf(buffer, sizeof buffer, "\\u%04X",
                          static_cast<unsigned>(static_cast<unsigned char>(text[i + 1])));
            out += buffer;
            ++i;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x80) {
            const std::size_t length = utf8_sequence_length(text, i);
            if (length == 0) {
                // A byte outside well-formed UTF-8: the log stays text a reader can trust.
                std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned>(c));
                out += buffer;
            } else {
                out.append(text.substr(i, length));
                i += length - 1;
            }
        } else if (is_c0_or_del(c)) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace Vorn_SCard_Bridge
