#pragma once

// pcsc-lite's calls as the Apple stand-in makes them: fixed-width values only, so that
// the file that exports Apple's functions (apple_pcsc.cpp, Apple's headers) and the one
// that calls pcsc-lite (pcsclite_forward.cpp, pcsc-lite's headers) never see each
// other's types. Every status is pcsc-lite's, as a 32-bit value; handles are pcsc-lite's
// 32-bit values (its daemon hands out uint32_t). Test infrastructure, never shipped.

#include <cstdint>

namespace vorn_apple_standin::lite {

constexpr std::size_t ATR_SIZE = 33;

struct ReaderState {
    const char* reader = nullptr;
    std::uint32_t current_state = 0;
    std::uint32_t event_state = 0;
    std::uint32_t atr_length = 0;
    std::uint8_t atr[ATR_SIZE] = {};
};

std::uint32_t establish_context(std::uint32_t scope, std::uint32_t& context);
std::uint32_t release_context(std::uint32_t context);
std::uint32_t is_valid_context(std::uint32_t context);
std::uint32_t cancel(std::uint32_t context);
std::uint32_t list_readers(std::uint32_t context, const char* groups, char* readers,
                           std::uint32_t* length);
std::uint32_t list_reader_groups(std::uint32_t context, char* groups, std::uint32_t* length);
std::uint32_t get_status_change(std::uint32_t context, std::uint32_t timeout, ReaderState* states,
                                std::uint32_t count);
std::uint32_t connect(std::uint32_t context, const char* reader, std::uint32_t share_mode,
                      std::uint32_t protocols, std::uint32_t& card, std::uint32_t* active);
std::uint32_t reconnect(std::uint32_t card, std::uint32_t share_mode, std::uint32_t protocols,
                        std::uint32_t initialization, std::uint32_t* active);
std::uint32_t disconnect(std::uint32_t card, std::uint32_t disposition);
std::uint32_t begin_transaction(std::uint32_t card);
std::uint32_t end_transaction(std::uint32_t card, std::uint32_t disposition);
std::uint32_t status(std::uint32_t card, char* reader, std::uint32_t* reader_length,
                     std::uint32_t* state, std::uint32_t* protocol, std::uint8_t* atr,
                     std::uint32_t* atr_length);
// The send record is pcsc-lite's own for the protocol; *receive_protocol, when given,
// gets the protocol of its receive record.
std::uint32_t transmit(std::uint32_t card, std::uint32_t send_protocol, const std::uint8_t* command,
                       std::uint32_t command_length, std::uint32_t* receive_protocol,
                       std::uint8_t* response, std::uint32_t* response_length);
std::uint32_t control(std::uint32_t card, std::uint32_t code, const void* input,
                      std::uint32_t input_length, void* output, std::uint32_t output_size,
                      std::uint32_t* returned);
std::uint32_t get_attrib(std::uint32_t card, std::uint32_t attribute, std::uint8_t* value,
                         std::uint32_t* length);
std::uint32_t set_attrib(std::uint32_t card, std::uint32_t attribute, const std::uint8_t* value,
                         std::uint32_t length);

}  // namespace vorn_apple_standin::lite
