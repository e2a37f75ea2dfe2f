#pragma once

// Reader names as the extension sees them. The service names readers with bytes,
// and some drivers fill them with Latin-1 or other text that is not UTF-8, which no
// JSON answer can carry. Such a name is shown in a form that maps back to exactly
// its bytes, so that every reader is reached by the name it is listed under and no
// two readers are listed alike: each byte outside well-formed UTF-8 becomes U+FFFD
// followed by the byte's two upper-case hexadecimal digits ("Lecteur \xE9" is shown
// as "Lecteur \uFFFDE9"), and a U+FFFD the name really holds is shown doubled. A
// UTF-8 name without U+FFFD, as nearly every name is, is shown as it is.

#include <string>
#include <string_view>

namespace Vorn_SCard_Bridge {

std::string shown_reader_name(std::string_view service_name);

// The service's bytes for a name as shown. A U+FFFD followed by neither two
// hexadecimal digits nor another U+FFFD stands for itself. Limits on a reader
// name's length apply to what this returns.
std::string service_reader_name(std::string_view shown);

}  // namespace Vorn_SCard_Bridge
