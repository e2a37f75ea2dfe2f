#pragma once

// The PC/SC service as the smart-card operations see it: every status, length and
// state word is 32 bits wide, whatever the platform's own types are. Handles are the
// service's own values, held in 64 bits (Windows' are pointer-sized and use the high
// bits); the extension never sees them (the session hands out ids of its own).
// pcsc_service.cpp implements these over the platform's PC/SC library (the only
// file that includes a PC/SC header, through pcsc_platform.h); unit tests link a
// scriptable fake in its place.
//
// One function per call of the PC/SC list (pcsc_calls.h), named as it names it.
// Each function returns the service's status as a signed 32-bit value (0 is
// success) and does nothing else: no logging, no exceptions.

#include <array>
#include <cstdint>

namespace Vorn_SCard_Bridge::pcsc {

constexpr std::int32_t SUCCESS = 0;
constexpr std::int32_t E_CANCELLED = static_cast<std::int32_t>(0x80100002u);
constexpr std::int32_t E_INVALID_HANDLE = static_cast<std::int32_t>(0x80100003u);
constexpr std::int32_t E_INVALID_PARAMETER = static_cast<std::int32_t>(0x80100004u);
constexpr std::int32_t E_NO_MEMORY = static_cast<std::int32_t>(0x80100006u);
constexpr std::int32_t E_INSUFFICIENT_BUFFER = static_cast<std::int32_t>(0x80100008u);
constexpr std::int32_t E_TIMEOUT = static_cast<std::int32_t>(0x8010000Au);
constexpr std::int32_t F_COMM_ERROR = static_cast<std::int32_t>(0x80100013u);
constexpr std::int32_t F_UNKNOWN_ERROR = static_cast<std::int32_t>(0x80100014u);
constexpr std::int32_t E_READER_UNAVAILABLE = static_cast<std::int32_t>(0x80100017u);
constexpr std::int32_t E_NO_SERVICE = static_cast<std::int32_t>(0x8010001Du);
constexpr std::int32_t E_SERVICE_STOPPED = static_cast<std::int32_t>(0x8010001Eu);

// The service itself is gone (pcscd ended or restarting; Windows' Smart Card service
// stopped, as it does when the last reader is removed): every context and card of it
// is lost, and only a new context can go on (README, "When the service goes away").
// F_COMM_ERROR is pcsc-lite's answer to a call cut off by its daemon's end.
constexpr bool service_lost(std::int32_t status) {
    return status == E_NO_SERVICE || status == E_SERVICE_STOPPED || status == F_COMM_ERROR;
}

constexpr std::uint32_t SCOPE_USER = 0;
constexpr std::uint32_t STATE_POWERED = 0x10;
constexpr std::size_t MAX_ATR_SIZE = 33;
// The most reader records one status-change wait takes; more are E_INVALID_PARAMETER.
constexpr std::size_t MAX_READERS_PER_WAIT = 16;
// The most a card answers to one APDU: 65,536 data bytes and the status word.
constexpr std::uint32_t MAX_RESPONSE_SIZE = 0x10000 + 2;
// The most a reader driver may answer to one control code (pcsc-lite's extended
// buffer: 64 KiB, an APDU header, Lc, Le and the status word). pcsc-lite refuses
// larger buffers.
constexpr std::uint32_t MAX_CONTROL_OUTPUT_SIZE = 4 + 3 + 0x10000 + 3 + 2;
// The buffer an attribute is read into at first: the largest pcsc-lite passes on.
// A platform that holds longer attributes says so with E_INSUFFICIENT_BUFFER and
// the length it needs.
constexpr std::uint32_t ATTRIBUTE_BUFFER_SIZE = 264;

// One reader's record of a status-change wait (the service's reader-state record).
struct ReaderState {
    const char* reader_name = nullptr;
    std::uint32_t current_state = 0;
    std::uint32_t event_state = 0;
    std::uint32_t atr_length = 0;
    std::array<std::uint8_t, MAX_ATR_SIZE> atr{};
};

// A context or card handle as the service handed it out.
using Handle = std::uint64_t;

// The service's protocol-control records.
enum class ProtocolRecord { T0, T1, RAW };

std::int32_t establish_context(std::uint32_t scope, Handle& context);
std::int32_t release_context(Handle context);
std::int32_t is_valid_context(Handle context);
std::int32_t cancel(Handle context);

// buffer == nullptr asks for the needed length only; length is in and out.
std::int32_t list_readers(Handle context, char* buffer, std::uint32_t& length);
std::int32_t list_reader_groups(Handle context, char* buffer, std::uint32_t& length);

std::int32_t get_status_change(Handle context, std::uint32_t timeout_ms, ReaderState* states,
                               std::uint32_t count);

std::int32_t connect(Handle context, const char* reader_name, std::uint32_t share_mode,
                     std::uint32_t preferred_protocols, Handle& card,
                     std::uint32_t& active_protocol);
std::int32_t reconnect(Handle card, std::uint32_t share_mode, std::uint32_t preferred_protocols,
                       std::uint32_t initialization, std::uint32_t& active_protocol);
std::int32_t disconnect(Handle card, std::uint32_t disposition);
std::int32_t begin_transaction(Handle card);
std::int32_t end_transaction(Handle card, std::uint32_t disposition);

// reader_name == nullptr / atr == nullptr ask for lengths only; the lengths are in and out.
std::int32_t status(Handle card, char* reader_name, std::uint32_t& reader_name_length,
                    std::uint32_t& state, std::uint32_t& protocol, std::uint8_t* atr,
                    std::uint32_t& atr_length);

// Sends a copy of the chosen protocol-control record; no receive record.
std::int32_t transmit(Handle card, ProtocolRecord record, const std::uint8_t* command,
                      std::uint32_t command_length, std::uint8_t* response,
                      std::uint32_t& response_length);

// SCardControl132 on macOS, SCardControl on pcsc-lite.
std::int32_t control(Handle card, std::uint32_t control_code, const std::uint8_t* input,
                     std::uint32_t input_length, std::uint8_t* output, std::uint32_t output_size,
                     std::uint32_t& bytes_returned);

std::int32_t set_attrib(Handle card, std::uint32_t attribute_id, const std::uint8_t* value,
                        std::uint32_t length);

// buffer == nullptr asks for the length only.
std::int32_t get_attrib(Handle card, std::uint32_t attribute_id, std::uint8_t* buffer,
                        std::uint32_t& length);

}  // namespace Vorn_SCard_Bridge::pcsc
