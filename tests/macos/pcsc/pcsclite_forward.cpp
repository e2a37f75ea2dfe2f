// pcsc-lite, loaded privately: the stand-in exports the same function names as
// libpcsclite, so it cannot link it. dlopen with RTLD_LOCAL keeps pcsc-lite's symbols out
// of the process's global scope, and RTLD_DEEPBIND makes pcsc-lite's own references
// (its PCI records, its functions calling each other) resolve to itself, not to the
// stand-in's exports of the same names. pcsc-lite's types (64-bit LONG and DWORD on
// 64-bit Linux) stay in this file.

#include "pcsclite_forward.h"

#include <dlfcn.h>
#include <pcsclite.h>

#include <cstring>
#include <vector>

namespace vorn_apple_standin::lite {

namespace {

struct Library {
    LONG (*establish_context)(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT);
    LONG (*release_context)(SCARDCONTEXT);
    LONG (*is_valid_context)(SCARDCONTEXT);
    LONG (*cancel)(SCARDCONTEXT);
    LONG (*list_readers)(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD);
    LONG (*list_reader_groups)(SCARDCONTEXT, LPSTR, LPDWORD);
    LONG (*get_status_change)(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD);
    LONG (*connect)(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE, LPDWORD);
    LONG (*reconnect)(SCARDHANDLE, DWORD, DWORD, DWORD, LPDWORD);
    LONG (*disconnect)(SCARDHANDLE, DWORD);
    LONG (*begin_transaction)(SCARDHANDLE);
    LONG (*end_transaction)(SCARDHANDLE, DWORD);
    LONG (*status)(SCARDHANDLE, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG (*transmit)
    (SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*, LPBYTE, LPDWORD);
    LONG (*control)(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD);
    LONG (*get_attrib)(SCARDHANDLE, DWORD, LPBYTE, LPDWORD);
    LONG (*set_attrib)(SCARDHANDLE, DWORD, LPCBYTE, DWORD);
};

template <typename Function>
bool bind(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    return function != nullptr;
}

// nullptr when pcsc-lite cannot be loaded: every call then answers NO_SERVICE.
const Library* library() {
    static const Library* loaded = []() -> const Library* {
        void* handle = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
        if (handle == nullptr) return nullptr;
        static Library calls;
        const bool all = bind(handle, "SCardEstablishContext", calls.establish_context) &&
                         bind(handle, "SCardReleaseContext", calls.release_context) &&
                         bind(handle, "SCardIsValidContext", calls.is_valid_context) &&
                         bind(handle, "SCardCancel", calls.cancel) &&
                         bind(handle, "SCardListReaders", calls.list_readers) &&
                         bind(handle, "SCardListReaderGroups", calls.list_reader_groups) &&
                         bind(handle, "SCardGetStatusChange", calls.get_status_change) &&
                         bind(handle, "SCardConnect", calls.connect) &&
                         bind(handle, "SCardReconnect", calls.reconnect) &&
                         bind(handle, "SCardDisconnect", calls.disconnect) &&
                         bind(handle, "SCardBeginTransaction", calls.begin_transaction) &&
                         bind(handle, "SCardEndTransaction", calls.end_transaction) &&
                         bind(handle, "SCardStatus", calls.status) &&
                         bind(handle, "SCardTransmit", calls.transmit) &&
                         bind(handle, "SCardControl", calls.control) &&
                         bind(handle, "SCardGetAttrib", calls.get_attrib) &&
                         bind(handle, "SCardSetAttrib", calls.set_attrib);
        return all ? &calls : nullptr;
    }();
    return loaded;
}

constexpr std::uint32_t NO_SERVICE = 0x8010001D;

#define VORN_LITE_CALL(name, ...)                                    \
    do {                                                             \
        const Library* calls = library();                            \
        if (calls == nullptr) return NO_SERVICE;                     \
        return static_cast<std::uint32_t>(calls->name(__VA_ARGS__)); \
    } while (false)

// An optional 32-bit in/out word as pcsc-lite's DWORD, copied back when the call is done.
class Word {
public:
    explicit Word(std::uint32_t* value) : value_(value), native_(value ? *value : 0) {}
    ~Word() {
        if (value_ != nullptr) *value_ = static_cast<std::uint32_t>(native_);
    }
    Word(const Word&) = delete;
    Word& operator=(const Word&) = delete;
    DWORD* get() { return value_ != nullptr ? &native_ : nullptr; }

private:
    std::uint32_t* value_;
    DWORD native_;
};

}  // namespace

std::uint32_t establish_context(std::uint32_t scope, std::uint32_t& context) {
    SCARDCONTEXT native = context;
    const Library* calls = library();
    if (calls == nullptr) return NO_SERVICE;
    const LONG status = calls->establish_context(scope, nullptr, nullptr, &native);
    context = static_cast<std::uint32_t>(native);
    return static_cast<std::uint32_t>(status);
}

std::uint32_t release_context(std::uint32_t context) { VORN_LITE_CALL(release_context, context); }

std::uint32_t is_valid_context(std::uint32_t context) { VORN_LITE_CALL(is_valid_context, context); }

std::uint32_t cancel(std::uint32_t context) { VORN_LITE_CALL(cancel, context); }

std::uint32_t list_readers(std::uint32_t context, const char* groups, char* readers,
                           std::uint32_t* length) {
    Word native_length(length);
    VORN_LITE_CALL(list_readers, context, groups, readers, native_length.get());
}

std::uint32_t list_reader_groups(std::uint32_t context, char* groups, std::uint32_t* length) {
    Word native_length(length);
    VORN_LITE_CALL(list_reader_groups, context, groups, native_length.get());
}

std::uint32_t get_status_change(std::uint32_t context, std::uint32_t timeout, ReaderState* states,
                                std::uint32_t count) {
    const Library* calls = library();
    if (calls == nullptr) return NO_SERVICE;
    std::vector<SCARD_READERSTATE> native(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        native[i].szReader = states[i].reader;
        native[i].dwCurrentState = states[i].current_state;
        native[i].dwEventState = states[i].event_state;
        native[i].cbAtr = states[i].atr_length;
        std::memcpy(native[i].rgbAtr, states[i].atr, ATR_SIZE);
    }
    const LONG status =
        calls->get_status_change(context, timeout, count == 0 ? nullptr : native.data(), count);
    for (std::uint32_t i = 0; i < count; ++i) {
        states[i].event_state = static_cast<std::uint32_t>(native[i].dwEventState);
        states[i].atr_length = static_cast<std::uint32_t>(native[i].cbAtr);
        std::memcpy(states[i].atr, native[i].rgbAtr, ATR_SIZE);
    }
    return static_cast<std::uint32_t>(status);
}

std::uint32_t connect(std::uint32_t context, const char* reader, std::uint32_t share_mode,
                      std::uint32_t protocols, std::uint32_t& card, std::uint32_t* active) {
    const Library* calls = library();
    if (calls == nullptr) return NO_SERVICE;
    SCARDHANDLE native = card;
    Word native_active(active);
    const LONG status =
        calls->connect(context, reader, share_mode, protocols, &native, native_active.get());
    card = static_cast<std::uint32_t>(native);
    return static_cast<std::uint32_t>(status);
}

std::uint32_t reconnect(std::uint32_t card, std::uint32_t share_mode, std::uint32_t protocols,
                        std::uint32_t initialization, std::uint32_t* active) {
    Word native_active(active);
    VORN_LITE_CALL(reconnect, card, share_mode, protocols, initialization, native_active.get());
}

std::uint32_t disconnect(std::uint32_t card, std::uint32_t disposition) {
    VORN_LITE_CALL(disconnect, card, disposition);
}

std::uint32_t begin_transaction(std::uint32_t card) { VORN_LITE_CALL(begin_transaction, card); }

std::uint32_t end_transaction(std::uint32_t card, std::uint32_t disposition) {
    VORN_LITE_CALL(end_transaction, card, disposition);
}

std::uint32_t status(std::uint32_t card, char* reader, std::uint32_t* reader_length,
                     std::uint32_t* state, std::uint32_t* protocol, std::uint8_t* atr,
                     std::uint32_t* atr_length) {
    Word native_reader_length(reader_length);
    Word native_state(state);
    Word native_protocol(protocol);
    Word native_atr_length(atr_length);
    VORN_LITE_CALL(status, card, reader, native_reader_length.get(), native_state.get(),
                   native_protocol.get(), atr, native_atr_length.get());
}

std::uint32_t transmit(std::uint32_t card, std::uint32_t send_protocol, const std::uint8_t* command,
                       std::uint32_t command_length, std::uint32_t* receive_protocol,
                       std::uint8_t* response, std::uint32_t* response_length) {
    const Library* calls = library();
    if (calls == nullptr) return NO_SERVICE;
    const SCARD_IO_REQUEST send{send_protocol, sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST receive{receive_protocol != nullptr ? *receive_protocol : 0,
                             sizeof(SCARD_IO_REQUEST)};
    Word native_length(response_length);
    const LONG status = calls->transmit(card, &send, command, command_length,
                                        receive_protocol != nullptr ? &receive : nullptr, response,
                                        native_length.get());
    if (receive_protocol != nullptr) {
        *receive_protocol = static_cast<std::uint32_t>(receive.dwProtocol);
    }
    return static_cast<std::uint32_t>(status);
}

std::uint32_t control(std::uint32_t card, std::uint32_t code, const void* input,
                      std::uint32_t input_length, void* output, std::uint32_t output_size,
                      std::uint32_t* returned) {
    Word native_returned(returned);
    VORN_LITE_CALL(control, card, code, input, input_length, output, output_size,
                   native_returned.get());
}

std::uint32_t get_attrib(std::uint32_t card, std::uint32_t attribute, std::uint8_t* value,
                         std::uint32_t* length) {
    Word native_length(length);
    VORN_LITE_CALL(get_attrib, card, attribute, value, native_length.get());
}

std::uint32_t set_attrib(std::uint32_t card, std::uint32_t attribute, const std::uint8_t* value,
                         std::uint32_t length) {
    VORN_LITE_CALL(set_attrib, card, attribute, value, length);
}

}  // namespace vorn_apple_standin::lite
