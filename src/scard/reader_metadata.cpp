// Reader features the PC/SC service does not offer. The extension still asks for them, so
// the host answers with fixed lists; the status travels as the first string of the list
// instead of as an exception.

#include "scard/smartcard_operations.h"
#include "support/codecs.h"

namespace Vorn_SCard_Bridge {

namespace {
// SCARD_E_UNSUPPORTED_FEATURE, written the way to_hex writes it.
constexpr const char* UNSUPPORTED_FEATURE = "0x8010001F";
// SCARD_READER_TYPE_USB: every reader is reported as a USB reader.
constexpr const char* READER_TYPE_USB = "0x00000020";
}  // namespace

ResultList handle_smartcard_introduce_reader(std::int32_t context, const std::string&,
                                             const std::string&) {
    return {UNSUPPORTED_FEATURE, to_hex(context), ""};
}

ResultList handle_smartcard_get_device_type(const std::int32_t&, const std::string&) {
    return {"0x00000000", READER_TYPE_USB};
}

ResultList handle_smartcard_get_reader_icon(const std::int32_t&, const std::string&) {
    return {UNSUPPORTED_FEATURE};
}

ResultList handle_smartcard_get_transmit_count(const std::int32_t&) {
    return {UNSUPPORTED_FEATURE, "0"};
}

}  // namespace Vorn_SCard_Bridge
