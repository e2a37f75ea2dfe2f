#pragma once

#include <string>
#include <string_view>

namespace Vorn_SCard_Bridge {

// Text from requests, the PC/SC service and cards ends up in log lines on stderr,
// in the file and in the system log. A newline in it would forge a line, an
// escape sequence would repaint the terminal. Control characters (C0, DEL and
// the UTF-8 encoded C1 range) become visible escapes (\n, \r, \t, \xNN, \u0085);
// backslashes are left alone and printable text stays byte for byte.
bool needs_log_escaping(std::string_view text);
std::string escape_for_log(std::string_view text);

}  // namespace Vorn_SCard_Bridge
