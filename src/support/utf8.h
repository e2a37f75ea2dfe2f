#pragma once

// Well-formed UTF-8 as the Unicode standard defines it (no overlong forms, no
// surrogates, nothing past U+10FFFF): what a JSON text may carry.

#include <cstddef>
#include <string_view>

namespace Vorn_SCard_Bridge {

// The length of the well-formed sequence that starts at `at` (1 to 4), or 0 when the
// byte there does not start one.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at);

bool is_utf8(std::string_view text);

}  // namespace Vorn_SCard_Bridge
