#include "scard/pcsc_service.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "scard/pcsc_calls.h"
#include "scard/pcsc_platform.h"
#include "scard/reader_event_counts.h"

// The buffer sizes the operations use are the library's own limits. A control's output
// buffer holds at least what the library passes on; Apple's header counts its extended
// buffer without the two status bytes (65,546, pcsc-lite's 65,548), and the library is
// never offered more than its own count.
#ifdef MAX_BUFFER_SIZE_EXTENDED
static_assert(Vorn_SCard_Bridge::pcsc::MAX_CONTROL_OUTPUT_SIZE >= MAX_BUFFER_SIZE_EXTENDED);
constexpr std::uint32_t SERVICE_CONTROL_OUTPUT_SIZE = MAX_BUFFER_SIZE_EXTENDED;
#else
constexpr std::uint32_t SERVICE_CONTROL_OUTPUT_SIZE =
    Vorn_SCard_Bridge::pcsc::MAX_CONTROL_OUTPUT_SIZE;
#endif
#ifdef MAX_BUFFER_SIZE
static_assert(Vorn_SCard_Bridge::pcsc::ATTRIBUTE_BUFFER_SIZE == MAX_BUFFER_SIZE);
#endif

// Each function widens our 32-bit values into the platform's types, makes exactly one
// call and narrows what the service wrote back. Out-parameters start from the caller's
// values, so a field that the service leaves alone on failure also stays the caller's.
// The calls on one context (and on its cards) never overlap: the host's session runs
// them one at a time, which pcsc-lite needs (a second call would wait for the context
// inside the library while holding its process-wide lock).

namespace Vorn_SCard_Bridge::pcsc {

// One function here for each call of the PC/SC list (pcsc_calls.h), and the platform's
// own function behind it.
#define VORN_ADAPTER_CALL(Api, name, NAME, ON, TEXT) \
    static_assert(std::is_function_v<decltype(name)> && std::is_function_v<decltype(::Api)>);
VORN_PCSC_CALLS(VORN_ADAPTER_CALL)
#undef VORN_ADAPTER_CALL

namespace {

using platform::from_native_status;
using platform::from_native_word;
using platform::to_native_card;
using platform::to_native_context;
using platform::to_native_word;

const SCARD_IO_REQUEST& protocol_record(ProtocolRecord record) {
    switch (record) {
        case ProtocolRecord::T0:
            return g_rgSCardT0Pci;
        case ProtocolRecord::RAW:
            return g_rgSCardRawPci;
        case ProtocolRecord::T1:
            break;
    }
    return g_rgSCardT1Pci;
}

// The platforms' ATR fields differ in size (33 bytes in pcsc-lite, 36 on Windows): as
// much as both hold.
template <typename From, typename To>
void copy_atr(const From& from, To& to) {
    const std::size_t count = std::min(std::size(from), std::size(to));
    std::copy(std::begin(from), std::begin(from) + static_cast<std::ptrdiff_t>(count),
              std::begin(to));
}

// The card-event counts of a service that keeps none, for every context of the process.
class KeptEventCounts {
public:
    template <typename Native>
    void to_service(const ReaderState* states, Native* native, std::uint32_t count) {
        const std::lock_guard lock(mutex_);
        for (std::uint32_t i = 0; i < count; ++i) {
            native[i].dwCurrentState =
                to_native_word(counts_.to_service(name_of(states[i]), states[i].current_state));
        }
    }
    void from_service(ReaderState* states, std::uint32_t count) {
        const std::lock_guard lock(mutex_);
        for (std::uint32_t i = 0; i < count; ++i) {
            ReaderState& state = states[i];
            const std::size_t atr_length = std::min<std::size_t>(state.atr_length, MAX_ATR_SIZE);
            state.event_state =
                counts_.from_service(name_of(state), state.current_state, state.event_state,
                                     std::span(state.atr.data(), atr_length));
        }
    }

private:
    static std::string name_of(const ReaderState& state) {
        return state.reader_name != nullptr ? state.reader_name : "";
    }

    std::mutex mutex_;
    ReaderEventCounts counts_;
};

KeptEventCounts& kept_event_counts() {
    static KeptEventCounts counts;
    return counts;
}

}  // namespace

std::int32_t establish_context(std::uint32_t scope, Handle& context) {
    SCARDCONTEXT native = to_native_context(context);
    const LONG status = SCardEstablishContext(to_native_word(scope), nullptr, nullptr, &native);
    context = platform::from_native_handle(native);
    return from_native_status(status);
}

std::int32_t release_context(Handle context) {
    const LONG status = SCardReleaseContext(to_native_context(context));
    return from_native_status(status);
}

std::int32_t is_valid_context(Handle context) {
    return from_native_status(SCardIsValidContext(to_native_context(context)));
}

std::int32_t cancel(Handle context) {
    return from_native_status(SCardCancel(to_native_context(context)));
}

std::int32_t list_readers(Handle context, char* buffer, std::uint32_t& length) {
    DWORD native_length = to_native_word(length);
    const LONG status = platform::list_readers(to_native_context(context), buffer, &native_length);
    length = from_native_word(native_length);
    return from_native_status(status);
}

std::int32_t list_reader_groups(Handle context, char* buffer, std::uint32_t& length) {
    DWORD native_length = to_native_word(length);
    const LONG status =
        platform::list_reader_groups(to_native_context(context), buffer, &native_length);
    length = from_native_word(native_length);
    return from_native_status(status);
}

std::int32_t get_status_change(Handle context, std::uint32_t timeout_ms, ReaderState* states,
                               std::uint32_t count) {
    // pcsc-lite's record has 64-bit state words, the framework's is packed: ours maps
    // onto neither, so the wait runs on a native copy.
    std::vector<platform::NativeReaderState> native(count);
    std::vector<platform::NativeName> names;
    names.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        native[i].szReader = names.emplace_back(states[i].reader_name).get();
        native[i].dwCurrentState = to_native_word(states[i].current_state);
        native[i].dwEventState = to_native_word(states[i].event_state);
        native[i].cbAtr = to_native_word(states[i].atr_length);
        copy_atr(states[i].atr, native[i].rgbAtr);
    }
    if constexpr (!platform::SERVICE_KEEPS_EVENT_COUNTS) {
        kept_event_counts().to_service(states, native.data(), count);
    }

    const LONG status =
        platform::get_status_change(to_native_context(context), to_native_word(timeout_ms),
                                    native.data(), to_native_word(count));

    for (std::uint32_t i = 0; i < count; ++i) {
        states[i].event_state = from_native_word(native[i].dwEventState);
        states[i].atr_length = from_native_word(native[i].cbAtr);
        copy_atr(native[i].rgbAtr, states[i].atr);
    }
    if (!platform::SERVICE_KEEPS_EVENT_COUNTS && status == SCARD_S_SUCCESS) {
        kept_event_counts().from_service(states, count);
    }
    return from_native_status(status);
}

std::int32_t connect(Handle context, const char* reader_name, std::uint32_t share_mode,
                     std::uint32_t preferred_protocols, Handle& card,
                     std::uint32_t& active_protocol) {
    SCARDHANDLE native_card = to_native_card(card);
    DWORD native_protocol = to_native_word(active_protocol);
    const LONG status = platform::connect(
        to_native_context(context), reader_name, to_native_word(share_mode),
        platform::native_protocols(preferred_protocols), &native_card, &native_protocol);
    card = platform::from_native_handle(native_card);
    active_protocol = platform::protocol_from_native(native_protocol);
    return platform::connect_status(status);
}

std::int32_t reconnect(Handle card, std::uint32_t share_mode, std::uint32_t preferred_protocols,
                       std::uint32_t initialization, std::uint32_t& active_protocol) {
    DWORD native_protocol = to_native_word(active_protocol);
    const LONG status = SCardReconnect(to_native_card(card), to_native_word(share_mode),
                                       platform::native_protocols(preferred_protocols),
                                       to_native_word(initialization), &native_protocol);
    active_protocol = platform::protocol_from_native(native_protocol);
    return from_native_status(status);
}

std::int32_t disconnect(Handle card, std::uint32_t disposition) {
    const LONG status = SCardDisconnect(to_native_card(card), to_native_word(disposition));
    return from_native_status(status);
}

std::int32_t begin_transaction(Handle card) {
    return platform::begin_transaction_status(SCardBeginTransaction(to_native_card(card)));
}

std::int32_t end_transaction(Handle card, std::uint32_t disposition) {
    return from_native_status(
        SCardEndTransaction(to_native_card(card), to_native_word(disposition)));
}

std::int32_t status(Handle card, char* reader_name, std::uint32_t& reader_name_length,
                    std::uint32_t& state, std::uint32_t& protocol, std::uint8_t* atr,
                    std::uint32_t& atr_length) {
    DWORD native_name_length = to_native_word(reader_name_length);
    DWORD native_state = to_native_word(state);
    DWORD native_protocol = to_native_word(protocol);
    DWORD native_atr_length = to_native_word(atr_length);
    const LONG result = platform::status(to_native_card(card), reader_name, &native_name_length,
                                         &native_state, &native_protocol, atr, &native_atr_length);
    reader_name_length = from_native_word(native_name_length);
    state = platform::card_state_from_native(native_state);
    protocol = platform::protocol_from_native(native_protocol);
    atr_length = from_native_word(native_atr_length);
    return from_native_status(result);
}

std::int32_t transmit(Handle card, ProtocolRecord record, const std::uint8_t* command,
                      std::uint32_t command_length, std::uint8_t* response,
                      std::uint32_t& response_length) {
    // A local copy, not the exported record itself: the exported records are shared by the
    // whole process, and the call should not depend on how a platform declares them.
    const SCARD_IO_REQUEST send_record = protocol_record(record);
    DWORD native_length = to_native_word(response_length);
    const LONG status =
        SCardTransmit(to_native_card(card), &send_record, command, to_native_word(command_length),
                      nullptr, response, &native_length);
    response_length = from_native_word(native_length);
    return from_native_status(status);
}

std::int32_t control(Handle card, std::uint32_t control_code, const std::uint8_t* input,
                     std::uint32_t input_length, std::uint8_t* output, std::uint32_t output_size,
                     std::uint32_t& bytes_returned) {
    DWORD native_returned = to_native_word(bytes_returned);
    const LONG status = platform::control(
        to_native_card(card), platform::native_control_code(control_code), input,
        to_native_word(input_length), output,
        to_native_word(std::min(output_size, SERVICE_CONTROL_OUTPUT_SIZE)), &native_returned);
    bytes_returned = from_native_word(native_returned);
    if (status == SCARD_S_SUCCESS && control_code == wire::GET_FEATURE_REQUEST &&
        output != nullptr && bytes_returned <= output_size) {
        platform::feature_codes_from_native(std::span(output, bytes_returned));
    }
    return from_native_status(status);
}

std::int32_t set_attrib(Handle card, std::uint32_t attribute_id, const std::uint8_t* value,
                        std::uint32_t length) {
    return from_native_status(SCardSetAttrib(to_native_card(card), to_native_word(attribute_id),
                                             value, to_native_word(length)));
}

std::int32_t get_attrib(Handle card, std::uint32_t attribute_id, std::uint8_t* buffer,
                        std::uint32_t& length) {
    DWORD native_length = to_native_word(length);
    const LONG status =
        SCardGetAttrib(to_native_card(card), to_native_word(attribute_id), buffer, &native_length);
    length = from_native_word(native_length);
    return from_native_status(status);
}

}  // namespace Vorn_SCard_Bridge::pcsc
