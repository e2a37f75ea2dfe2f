#pragma once

// One free function per PC/SC operation. Each takes plain values, calls the
// service through pcsc_service.h and returns the result list of strings, or
// throws VornSCardException carrying the service's status. None of them logs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scard/reader_data.h"

namespace Vorn_SCard_Bridge {

using ResultList = std::vector<std::string>;

// The most hexadecimal characters of one APDU (65,536 bytes). One limit, stated twice:
// the transmit command refuses a longer text, and handle_smartcard_transmit answers
// one with a refusal of its own.
constexpr std::size_t MAX_TRANSMIT_HEX_LENGTH = 131072;

// Contexts
ResultList handle_smartcard_establish_context(std::int32_t& context, std::uint32_t scope);
ResultList handle_smartcard_release_context(const std::int32_t& context);
ResultList handle_smartcard_is_valid_context(const std::int32_t& context);
ResultList handle_smartcard_cancel(const std::int32_t& context);
bool validate_context(const std::int32_t& context);

// Readers and status change
ResultList handle_smartcard_list_readers(const std::int32_t& context);
// Each name its own entry, so that a comma in a name survives.
ResultList handle_smartcard_list_readers_array(const std::int32_t& context);
ResultList handle_smartcard_list_reader_groups(const std::int32_t& context);
ResultList handle_smartcard_get_status_change(const std::int32_t& context,
                                              const std::uint32_t& timeout,
                                              const std::int32_t& total_readers,
                                              const std::vector<ReaderData>& readers);

// Reader metadata the service does not offer: fixed answers
ResultList handle_smartcard_introduce_reader(std::int32_t context, const std::string& reader_name,
                                             const std::string& device_name);
ResultList handle_smartcard_get_device_type(const std::int32_t& context,
                                            const std::string& reader_name);
ResultList handle_smartcard_get_reader_icon(const std::int32_t& context,
                                            const std::string& reader_name);
ResultList handle_smartcard_get_transmit_count(const std::int32_t& context);

// Card connections, status and transactions
ResultList handle_smartcard_connect(const std::int32_t& context, const std::string& reader_name,
                                    const std::uint32_t& share_mode,
                                    const std::uint32_t& preferred_protocols);
ResultList handle_smartcard_reconnect(const std::int32_t& context, const std::int32_t& card,
                                      const std::uint32_t& share_mode,
                                      const std::uint32_t& preferred_protocols,
                                      const std::uint32_t& initialization);
ResultList handle_smartcard_disconnect(const std::int32_t& context, const std::int32_t& card,
                                       const std::uint32_t& disposition);
ResultList handle_smartcard_begin_transaction(const std::int32_t& context,
                                              const std::int32_t& card);
ResultList handle_smartcard_end_transaction(const std::int32_t& context, const std::int32_t& card,
                                            const std::uint32_t& disposition);
ResultList handle_smartcard_status(const std::int32_t& context, const std::int32_t& card);

// Transmit, control and attributes
ResultList handle_smartcard_transmit(const std::int32_t& context, const std::int32_t& card,
                                     const std::uint32_t& protocol, const std::string& data);
ResultList handle_smartcard_control(const std::int32_t& context, const std::int32_t& card,
                                    const std::uint32_t& control_code, const std::string& data);
ResultList handle_smartcard_get_attrib(const std::int32_t& context, const std::int32_t& card,
                                       const std::uint32_t& attribute_id);
ResultList handle_smartcard_set_attrib(const std::int32_t& context, const std::int32_t& card,
                                       const std::uint32_t& attribute_id, const std::string& data);

}  // namespace Vorn_SCard_Bridge
