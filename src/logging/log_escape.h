#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Vorn_SCard_Bridge {

// Text from requests, the PC/SC service and cards ends up in log lines on stderr,
// in the file and in the system log. A newline in it would forge a line, an
// escape sequence would repaint the terminal, and bytes that are not UTF-8 make the
// log a file that text tools refuse. Control characters (C0, DEL and the UTF-8
// encoded C1 range) and bytes outside well-formed UTF-8 become visible escapes
// (\n, \r, \t, \xNN, \u0085); backslashes are left alone and printable text stays
// byte for byte.
bool needs_log_escaping(std::string_view text);
std::string escape_for_log(std::string_view text);

// A page can send megabytes as a request id, a reader name or data; a few such
// lines would rotate every earlier line out of the log. Texts longer than `limit`
// bytes are cut (at a character boundary) and marked with their full size:
// "<first bytes>... [1048576 bytes]".
constexpr std::size_t MAX_LOGGED_REQUEST_ID = 128;
constexpr std::size_t MAX_LOGGED_MESSAGE = 4096;
std::string_view cut_for_log(std::string_view text, std::size_t limit, std::string& storage);

}  // namespace Vorn_SCard_Bridge
