// The hex and multi-string codecs on arbitrary text: they either convert or
// refuse with an exception of the standard family, round trips give back what
// went in, and the bounded multi-string reader never reads past its buffer.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "support/codecs.h"

namespace {

using namespace Vorn_SCard_Bridge;
using fuzzing::require;

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char upper(char c) { return (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c; }

void check_handles(const std::string& text) {
    std::int32_t value = 0;
    try {
        value = from_hex(text);
    } catch (const std::exception&) {
        return;
    }
    const std::string written = to_hex(value);
    require(written.size() == 10 && written.compare(0, 2, "0x") == 0, "to_hex form: " + written);
    require(from_hex(written) == value, "handle round trip: " + written);
}

void check_byte_strings(const std::string& text, const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    const std::string written = to_hex_string(bytes);
    require(written.size() == 2 * size, "to_hex_string length");
    require(to_hex_string(data, size) == written, "to_hex_string overloads differ");
    if (size > 0) require(from_hex_string(written) == bytes, "byte round trip");

    std::vector<std::uint8_t> decoded;
    try {
        decoded = from_hex_string(text);
    } catch (const std::exception&) {
        require(text.empty() || text.size() % 2 != 0, "refused even-length text");
        return;
    }
    require(!text.empty() && text.size() % 2 == 0, "accepted empty or odd-length text");
    require(decoded.size() == text.size() / 2, "from_hex_string length");
    bool plain = true;
    for (char c : text) plain = plain && is_hex_digit(c);
    if (plain) {
        std::string expected;
        for (char c : text) expected += upper(c);
        require(to_hex_string(decoded) == expected, "text round trip");
    }
}

// The reference reading of a multi-string within `size` bytes.
std::string expected_comma_string(const char* list, std::size_t size) {
    std::vector<std::string> names;
    std::size_t i = 0;
    while (i < size && list[i] != '\0') {
        const std::size_t end = std::find(list + i, list + size, '\0') - list;
        names.emplace_back(list + i, end - i);
        i = end + 1;
    }
    std::string joined;
    for (std::size_t n = 0; n < names.size(); ++n) joined += (n ? "," : "") + names[n];
    return joined;
}

void check_multi_strings(const std::uint8_t* data, std::size_t size) {
    // Exactly `size` bytes on the heap, so that a read past them is caught.
    const auto list = std::make_unique<char[]>(size == 0 ? 1 : size);
    if (size > 0) std::memcpy(list.get(), data, size);
    const std::string bounded = multi_string_to_comma_string(list.get(), size);
    require(bounded.size() <= size, "bounded multi-string grew");
    require(bounded == expected_comma_string(list.get(), size), "bounded multi-string: " + bounded);

    // The unbounded reading of the same list, properly terminated, agrees.
    std::vector<char> terminated(data, data + size);
    terminated.push_back('\0');
    terminated.push_back('\0');
    require(multi_string_to_comma_string(terminated.data()) ==
                multi_string_to_comma_string(terminated.data(), terminated.size()),
            "bounded and unbounded multi-string readings differ");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::quiet_logger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_handles(text);
    check_byte_strings(text, data, size);
    check_multi_strings(data, size);
    return 0;
}
