// A stand-in for Windows' winscard.dll, for trying the Windows host under Wine (whose
// own winscard is a stub). Test infrastructure: never shipped.
//
// It has WinSCard's exports and types as the Windows SDK declares them and forwards each
// call to the relay (relay.cpp) on a loopback connection: the relay calls pcsc-lite on
// the real pcscd and answers as Windows does (windows_model.h). This side only carries
// values: what a call reads from its arguments goes out, what the relay answers is
// written back where the caller said, and a relay that cannot be reached is a Smart Card
// service that is not running (SCARD_E_NO_SERVICE).
//
// Reader names: the relay carries pcsc-lite's bytes; this side gives them as Windows
// does, UTF-16 in the ...W functions and through the ANSI code page in the ...A ones.
//
// SCARD_AUTOALLOCATE is not modelled (neither the host nor the installer uses it): a
// call given it answers SCARD_E_INVALID_PARAMETER.

// Exported as they are declared: what the DLL defines of WinSCard is what it exports.
#define WINSCARDAPI __declspec(dllexport)
#define WINSCARDDATA __declspec(dllexport)
#include <windows.h>
#include <winscard.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "messaging/frame_codec.h"
#include "relay_protocol.h"
#include "scard/pcsc_calls.h"

using namespace Vorn_SCard_Bridge;
using winscard_relay::Call;
using winscard_relay::Reader;
using winscard_relay::Writer;

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

bool send_all(SOCKET socket, const std::string& data) {
    for (std::size_t sent = 0; sent < data.size();) {
        const int n = ::send(socket, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> receive_message(SOCKET socket) {
    framing::FrameDecoder decoder(winscard_relay::MAX_MESSAGE_SIZE);
    std::string message;
    char chunk[16384];
    for (;;) {
        if (decoder.next(message) == framing::FrameDecoder::Status::FRAME) return message;
        const int n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n <= 0) return std::nullopt;
        decoder.feed(chunk, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> exchange(SOCKET socket, const Writer& request) {
    if (!send_all(socket, framing::encode_frame(request.message()))) return std::nullopt;
    return receive_message(socket);
}

// A number the tests may set in the environment, or `otherwise`.
std::optional<DWORD> environment_number(const char* name) {
    char text[32];
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) return std::nullopt;
    return static_cast<DWORD>(std::strtoul(text, nullptr, 0));
}

// "If a transaction is held on the card for more than five seconds with no operations
// happening on that card, then the card is reset" (SCardBeginTransaction). Tests may
// shorten it (VORN_WINSCARD_IDLE_RESET_MS) so as not to wait five seconds.
DWORD idle_transaction_limit_ms() {
    return environment_number(winscard_relay::IDLE_RESET_VARIABLE).value_or(5000);
}

// The connections to the relay: one that lives as long as the process (its end tells
// the relay that the process is gone) and a pool of connections for calls, one per call
// in progress, so that a blocking wait and the SCardCancel that ends it travel apart.
class Relay {
public:
    std::optional<std::string> call(const Writer& request) {
        SOCKET socket = take_connection();
        if (socket == INVALID_SOCKET) return std::nullopt;
        std::optional<std::string> answer = exchange(socket, request);
        if (answer) {
            give_back(socket);
        } else {
            ::closesocket(socket);
        }
        return answer;
    }

private:
    SOCKET open_connection() {
        char address[64];
        const DWORD length = GetEnvironmentVariableA(winscard_relay::RELAY_ADDRESS_VARIABLE,
                                                     address, sizeof address);
        if (length == 0 || length >= sizeof address) return INVALID_SOCKET;
        const std::string text(address, length);
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) return INVALID_SOCKET;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<u_short>(std::atoi(text.c_str() + colon + 1)));
        if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &to.sin_addr) != 1) {
            return INVALID_SOCKET;
        }
        SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket == INVALID_SOCKET) return INVALID_SOCKET;
        const BOOL no_delay = TRUE;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
                     sizeof no_delay);
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            ::closesocket(socket);
            return INVALID_SOCKET;
        }
        return socket;
    }

    // The first call opens the process's lasting connection; until one is open, every
    // call tries again.
    bool ensure_client() {
        if (lifeline != INVALID_SOCKET) return true;
        if (!started) {
            WSADATA data;
            if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
            started = true;
        }
        SOCKET socket = open_connection();
        if (socket == INVALID_SOCKET) return false;
        const auto answer = exchange(socket, Writer()
                                                 .u32(static_cast<std::uint32_t>(Call::OPEN_CLIENT))
                                                 .u32(idle_transaction_limit_ms()));
        Reader reader(answer.value_or(std::string()));
        const std::uint32_t status = reader.u32();
        const std::uint64_t id = reader.u64();
        if (!answer || !reader.ok() || status != SCARD_S_SUCCESS) {
            ::closesocket(socket);
            return false;
        }
        lifeline = socket;
        client = id;
        return true;
    }

    SOCKET take_connection() {
        std::uint64_t id = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!ensure_client()) return INVALID_SOCKET;
            if (!idle.empty()) {
                const SOCKET socket = idle.back();
                idle.pop_back();
                return socket;
            }
            id = client;
        }
        SOCKET socket = open_connection();
        if (socket == INVALID_SOCKET) return INVALID_SOCKET;
        const auto answer =
            exchange(socket, Writer().u32(static_cast<std::uint32_t>(Call::JOIN_CLIENT)).u64(id));
        Reader reader(answer.value_or(std::string()));
        if (!answer || reader.u32() != SCARD_S_SUCCESS || !reader.ok()) {
            ::closesocket(socket);
            return INVALID_SOCKET;
        }
        return socket;
    }

    void give_back(SOCKET socket) {
        std::lock_guard<std::mutex> guard(lock);
        idle.push_back(socket);
    }

    std::mutex lock;
    bool started = false;
    SOCKET lifeline = INVALID_SOCKET;
    std::uint64_t client = 0;
    std::vector<SOCKET> idle;
};

Relay& relay() {
    // Never destroyed: the process's end closes the connections.
    static Relay* const instance = new Relay;
    return *instance;
}

Writer request(Call call) { return Writer().u32(static_cast<std::uint32_t>(call)); }

// The knob for statuses only Windows has (Smart Card Return Values: the PIN cache and
// read-only card codes 0x80100032-34, SCARD_W_CANCELLED_BY_USER ... 0x8010006E-72):
// pcscd never gives them, so a test names a function and the status it is to return,
// VORN_WINSCARD_STATUS="SCardTransmit=0x80100033,SCardStatus=0x8010006E". The function
// then returns it at once, without asking the service.
std::optional<LONG> injected(const char* function) {
    char text[512];
    const DWORD length =
        GetEnvironmentVariableA(winscard_relay::STATUS_VARIABLE, text, sizeof text);
    if (length == 0 || length >= sizeof text) return std::nullopt;
    const std::string settings(text, length);
    const std::string wanted = std::string(function) + "=";
    for (std::size_t at = 0; at < settings.size();) {
        std::size_t end = settings.find(',', at);
        if (end == std::string::npos) end = settings.size();
        const std::string setting = settings.substr(at, end - at);
        if (setting.rfind(wanted, 0) == 0) {
            return static_cast<LONG>(std::strtoul(setting.c_str() + wanted.size(), nullptr, 0));
        }
        at = end + 1;
    }
    return std::nullopt;
}

#define VORN_INJECTED(function)                                   \
    if (const std::optional<LONG> status = injected(#function)) { \
        return *status;                                           \
    }

// Sends the request; on an answer, `read` takes what follows the status.
template <typename ReadRest>
LONG forward(const Writer& message, ReadRest read) {
    const std::optional<std::string> answer = relay().call(message);
    if (!answer) return SCARD_E_NO_SERVICE;
    Reader reader(*answer);
    const LONG status = static_cast<LONG>(reader.u32());
    read(reader, status);
    return reader.ok() ? status : SCARD_F_COMM_ERROR;
}

LONG forward(const Writer& message) {
    return forward(message, [](Reader&, LONG) {});
}

// A buffer's presence and size as the relay needs them.
Writer& buffer_request(Writer& message, const void* buffer, DWORD length) {
    return message.u32(buffer != nullptr ? 1 : 0).u32(length);
}

// The most the relay is asked to write back for a list or a name: all of it.
constexpr DWORD WHOLE = winscard_relay::MAX_MESSAGE_SIZE / 4;

// --- Reader names ------------------------------------------------------------------
// Windows names readers in UTF-16 ("...W" functions). pcsc-lite names them with bytes,
// UTF-8 by convention: a name becomes UTF-16 by MultiByteToWideChar, which puts
// U+FFFD for each byte that is not UTF-8 (MultiByteToWideChar: "invalid input
// characters" are replaced "with U+FFFD" since Windows Vista). A name that comes back
// in UTF-16 is the pcsc-lite name of the reader listed as it.
//
// The "...A" functions: "the current Windows ANSI code page" (GetACP) stands between
// them and the UTF-16 names; a character the code page lacks becomes '?'
// (WideCharToMultiByte with no default character given), and the name so read back
// names no reader.

std::wstring wide(std::string_view text, UINT code_page) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string narrow(std::wstring_view text, UINT code_page) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// A caller's text (NUL-terminated, or a multi-string when `multi`) as UTF-16.
std::wstring caller_text(LPCWSTR text, bool multi = false) {
    if (text == nullptr) return {};
    const wchar_t* end = text;
    if (!multi) return std::wstring(text);
    while (*end != L'\0') end += std::wcslen(end) + 1;
    return std::wstring(text, end + 1);
}
std::wstring caller_text(LPCSTR text, bool multi = false) {
    if (text == nullptr) return {};
    const char* end = text;
    if (!multi) return wide(text, CP_ACP);
    while (*end != '\0') end += std::strlen(end) + 1;
    return wide(std::string_view(text, static_cast<std::size_t>(end + 1 - text)), CP_ACP);
}

// The caller's own encoding of a UTF-16 text: itself, or the ANSI code page's.
std::basic_string<WCHAR> in_caller_encoding(const std::wstring& text, const WCHAR*) { return text; }
std::string in_caller_encoding(const std::wstring& text, const char*) {
    return narrow(text, CP_ACP);
}

// Hands a text to a caller's buffer as WinSCard does: its length (in the caller's
// characters) when no buffer is given, SCARD_E_INSUFFICIENT_BUFFER with the length
// needed when the buffer is short (SCardListReaders, SCardStatus).
template <typename Char>
LONG deliver(const std::wstring& text, Char* buffer, LPDWORD length) {
    const auto out = in_caller_encoding(text, buffer);
    const DWORD capacity = *length;
    *length = static_cast<DWORD>(out.size());
    if (buffer == nullptr) return SCARD_S_SUCCESS;
    if (out.size() > capacity) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, out.data(), out.size() * sizeof(Char));
    return SCARD_S_SUCCESS;
}

// The readers (or groups) as the service lists them, pcsc-lite's multi-string.
LONG list_service(Call call, SCARDCONTEXT context, const std::string& groups, bool filtered,
                  std::string& listed) {
    Writer message = request(call);
    message.u64(context).u32(filtered ? 1 : 0).bytes(groups);
    buffer_request(message, &listed, WHOLE);
    return forward(message, [&](Reader& reader, LONG status) {
        reader.u32();
        const std::string_view text = reader.bytes();
        if (status == SCARD_S_SUCCESS) listed.assign(text);
    });
}

// The pcsc-lite name of the reader a caller names in UTF-16.
std::string service_name(SCARDCONTEXT context, const std::wstring& name) {
    std::string utf8 = narrow(name, CP_UTF8);
    // Only a name with U+FFFD in it can stand for a name that is not UTF-8.
    if (name.find(L'\xFFFD') == std::wstring::npos) return utf8;
    std::string listed;
    if (list_service(Call::LIST_READERS, context, {}, false, listed) != SCARD_S_SUCCESS) {
        return utf8;
    }
    for (std::size_t at = 0; at < listed.size() && listed[at] != '\0';) {
        const std::string reader(listed.c_str() + at);
        if (wide(reader, CP_UTF8) == name) return reader;
        at += reader.size() + 1;
    }
    return utf8;
}

template <typename Char>
LONG list(Call call, SCARDCONTEXT context, const Char* groups, Char* buffer, LPDWORD length) {
    if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (*length == SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
    std::string listed;
    const LONG status = list_service(call, context, narrow(caller_text(groups, true), CP_UTF8),
                                     groups != nullptr, listed);
    if (status != SCARD_S_SUCCESS) return status;
    return deliver(wide(listed, CP_UTF8), buffer, length);
}

template <typename State>
LONG get_status_change(SCARDCONTEXT context, DWORD timeout, State* states, DWORD count) {
    if (count > 0 && states == nullptr) return SCARD_E_INVALID_PARAMETER;
    Writer message = request(Call::GET_STATUS_CHANGE);
    message.u64(context).u32(timeout).u32(count);
    for (DWORD i = 0; i < count; ++i) {
        if (states[i].szReader == nullptr) return SCARD_E_INVALID_VALUE;
        message.bytes(service_name(context, caller_text(states[i].szReader)))
            .u32(states[i].dwCurrentState)
            .u32(states[i].cbAtr)
            .bytes(states[i].rgbAtr, sizeof states[i].rgbAtr);
    }
    return forward(message, [&](Reader& reader, LONG) {
        for (DWORD i = 0; i < count && reader.ok(); ++i) {
            const DWORD event = reader.u32();
            const DWORD atr_length = reader.u32();
            const std::string_view atr = reader.bytes();
            if (!reader.ok() || atr.size() != sizeof states[i].rgbAtr) break;
            states[i].dwEventState = event;
            states[i].cbAtr = atr_length;
            std::memcpy(states[i].rgbAtr, atr.data(), atr.size());
        }
    });
}

template <typename Char>
LONG connect(SCARDCONTEXT context, const Char* reader, DWORD share_mode, DWORD protocols,
             LPSCARDHANDLE card, LPDWORD active_protocol) {
    if (reader == nullptr || card == nullptr || active_protocol == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    Writer message = request(Call::CONNECT);
    message.u64(context)
        .bytes(service_name(context, caller_text(reader)))
        .u32(share_mode)
        .u32(protocols);
    return forward(message, [&](Reader& answer, LONG status) {
        const std::uint64_t handle = answer.u64();
        const DWORD protocol = answer.u32();
        if (status == SCARD_S_SUCCESS) {
            *card = static_cast<SCARDHANDLE>(handle);
            *active_protocol = protocol;
        }
    });
}

template <typename Char>
LONG status(SCARDHANDLE card, Char* reader_name, LPDWORD reader_length, LPDWORD state,
            LPDWORD protocol, LPBYTE atr, LPDWORD atr_length) {
    if ((reader_name != nullptr && reader_length == nullptr) ||
        (atr != nullptr && atr_length == nullptr)) {
        return SCARD_E_INVALID_PARAMETER;
    }
    const DWORD name_capacity = reader_length != nullptr ? *reader_length : 0;
    const DWORD atr_capacity = atr_length != nullptr ? *atr_length : 0;
    if (name_capacity == SCARD_AUTOALLOCATE || atr_capacity == SCARD_AUTOALLOCATE) {
        return SCARD_E_INVALID_PARAMETER;
    }
    std::string name;
    Writer message = request(Call::STATUS);
    message.u64(card);
    buffer_request(message, &name, WHOLE);
    buffer_request(message, atr, atr_capacity);
    LONG result = forward(message, [&](Reader& answer, LONG status) {
        answer.u32();
        name.assign(answer.bytes());
        const DWORD card_state = answer.u32();
        const DWORD card_protocol = answer.u32();
        const DWORD atr_needed = answer.u32();
        const std::string_view atr_bytes = answer.bytes();
        if (!answer.ok()) return;
        if (status != SCARD_S_SUCCESS && status != SCARD_E_INSUFFICIENT_BUFFER) return;
        if (atr_length != nullptr) *atr_length = atr_needed;
        if (status != SCARD_S_SUCCESS) return;
        if (atr != nullptr && atr_bytes.size() <= atr_capacity) {
            std::memcpy(atr, atr_bytes.data(), atr_bytes.size());
        }
        if (state != nullptr) *state = card_state;
        if (protocol != nullptr) *protocol = card_protocol;
    });
    if (reader_length == nullptr) return result;
    if (result != SCARD_S_SUCCESS && result != SCARD_E_INSUFFICIENT_BUFFER) return result;
    const LONG named = deliver(wide(name, CP_UTF8), reader_name, reader_length);
    return result == SCARD_S_SUCCESS ? named : result;
}

}  // namespace

extern "C" {

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    VORN_INJECTED(SCardEstablishContext)
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    return forward(request(Call::ESTABLISH_CONTEXT).u32(scope), [&](Reader& reader, LONG status) {
        const std::uint64_t handle = reader.u64();
        if (status == SCARD_S_SUCCESS) *context = static_cast<SCARDCONTEXT>(handle);
    });
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
    VORN_INJECTED(SCardReleaseContext)
    return forward(request(Call::RELEASE_CONTEXT).u64(context));
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT context) {
    VORN_INJECTED(SCardIsValidContext)
    return forward(request(Call::IS_VALID_CONTEXT).u64(context));
}

LONG WINAPI SCardCancel(SCARDCONTEXT context) {
    VORN_INJECTED(SCardCancel)
    return forward(request(Call::CANCEL).u64(context));
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD length) {
    VORN_INJECTED(SCardListReaders)
    return list(Call::LIST_READERS, context, groups, readers, length);
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT context, LPCWSTR groups, LPWSTR readers,
                              LPDWORD length) {
    VORN_INJECTED(SCardListReaders)
    return list(Call::LIST_READERS, context, groups, readers, length);
}

LONG WINAPI SCardListReaderGroupsA(SCARDCONTEXT context, LPSTR groups, LPDWORD length) {
    VORN_INJECTED(SCardListReaderGroups)
    return list(Call::LIST_READER_GROUPS, context, static_cast<LPCSTR>(nullptr), groups, length);
}

LONG WINAPI SCardListReaderGroupsW(SCARDCONTEXT context, LPWSTR groups, LPDWORD length) {
    VORN_INJECTED(SCardListReaderGroups)
    return list(Call::LIST_READER_GROUPS, context, static_cast<LPCWSTR>(nullptr), groups, length);
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA states,
                                  DWORD count) {
    VORN_INJECTED(SCardGetStatusChange)
    return get_status_change(context, timeout, states, count);
}

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEW states,
                                  DWORD count) {
    VORN_INJECTED(SCardGetStatusChange)
    return get_status_change(context, timeout, states, count);
}

LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD share_mode, DWORD protocols,
                          LPSCARDHANDLE card, LPDWORD active_protocol) {
    VORN_INJECTED(SCardConnect)
    return connect(context, reader, share_mode, protocols, card, active_protocol);
}

LONG WINAPI SCardConnectW(SCARDCONTEXT context, LPCWSTR reader, DWORD share_mode, DWORD protocols,
                          LPSCARDHANDLE card, LPDWORD active_protocol) {
    VORN_INJECTED(SCardConnect)
    return connect(context, reader, share_mode, protocols, card, active_protocol);
}
LONG WINAPI SCardReconnect(SCARDHANDLE card, DWORD share_mode, DWORD protocols,
                           DWORD initialization, LPDWORD active_protocol) {
    VORN_INJECTED(SCardReconnect)
    Writer message = request(Call::RECONNECT);
    message.u64(card).u32(share_mode).u32(protocols).u32(initialization);
    return forward(message, [&](Reader& answer, LONG status) {
        const DWORD protocol = answer.u32();
        if (status == SCARD_S_SUCCESS && active_protocol != nullptr) *active_protocol = protocol;
    });
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    VORN_INJECTED(SCardDisconnect)
    return forward(request(Call::DISCONNECT).u64(card).u32(disposition));
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) {
    VORN_INJECTED(SCardBeginTransaction)
    return forward(request(Call::BEGIN_TRANSACTION).u64(card));
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    VORN_INJECTED(SCardEndTransaction)
    return forward(request(Call::END_TRANSACTION).u64(card).u32(disposition));
}

LONG WINAPI SCardStatusA(SCARDHANDLE card, LPSTR reader_name, LPDWORD reader_length, LPDWORD state,
                         LPDWORD protocol, LPBYTE atr, LPDWORD atr_length) {
    VORN_INJECTED(SCardStatus)
    return status(card, reader_name, reader_length, state, protocol, atr, atr_length);
}

LONG WINAPI SCardStatusW(SCARDHANDLE card, LPWSTR reader_name, LPDWORD reader_length, LPDWORD state,
                         LPDWORD protocol, LPBYTE atr, LPDWORD atr_length) {
    VORN_INJECTED(SCardStatus)
    return status(card, reader_name, reader_length, state, protocol, atr, atr_length);
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST send_record, LPCBYTE command,
                          DWORD command_length, LPSCARD_IO_REQUEST receive_record, LPBYTE response,
                          LPDWORD response_length) {
    VORN_INJECTED(SCardTransmit)
    if (send_record == nullptr || command == nullptr || response_length == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    Writer message = request(Call::TRANSMIT);
    message.u64(card).u32(send_record->dwProtocol).bytes(command, command_length);
    buffer_request(message, response, *response_length);
    const DWORD capacity = *response_length;
    return forward(message, [&](Reader& answer, LONG status) {
        const DWORD needed = answer.u32();
        const DWORD received_protocol = answer.u32();
        const std::string_view bytes = answer.bytes();
        if (!answer.ok()) return;
        if (status == SCARD_S_SUCCESS || status == SCARD_E_INSUFFICIENT_BUFFER) {
            *response_length = needed;
        }
        if (status != SCARD_S_SUCCESS) return;
        if (response != nullptr && bytes.size() <= capacity) {
            std::memcpy(response, bytes.data(), bytes.size());
        }
        if (receive_record != nullptr) {
            receive_record->dwProtocol = received_protocol;
            receive_record->cbPciLength = sizeof(SCARD_IO_REQUEST);
        }
    });
}

LONG WINAPI SCardControl(SCARDHANDLE card, DWORD control_code, LPCVOID input, DWORD input_length,
                         LPVOID output, DWORD output_size, LPDWORD bytes_returned) {
    VORN_INJECTED(SCardControl)
    if (bytes_returned == nullptr || (input == nullptr && input_length != 0)) {
        return SCARD_E_INVALID_PARAMETER;
    }
    Writer message = request(Call::CONTROL);
    message.u64(card).u32(control_code).bytes(input, input_length);
    buffer_request(message, output, output_size);
    return forward(message, [&](Reader& answer, LONG status) {
        const DWORD returned = answer.u32();
        const std::string_view bytes = answer.bytes();
        if (!answer.ok()) return;
        *bytes_returned = returned;
        if (status == SCARD_S_SUCCESS && output != nullptr && bytes.size() <= output_size) {
            std::memcpy(output, bytes.data(), bytes.size());
        }
    });
}

LONG WINAPI SCardGetAttrib(SCARDHANDLE card, DWORD attribute, LPBYTE value, LPDWORD length) {
    VORN_INJECTED(SCardGetAttrib)
    if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (*length == SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
    Writer message = request(Call::GET_ATTRIB);
    message.u64(card).u32(attribute);
    buffer_request(message, value, *length);
    const DWORD capacity = *length;
    return forward(message, [&](Reader& answer, LONG status) {
        const DWORD needed = answer.u32();
        const std::string_view bytes = answer.bytes();
        if (!answer.ok()) return;
        *length = needed;
        if (status == SCARD_S_SUCCESS && value != nullptr && bytes.size() <= capacity) {
            std::memcpy(value, bytes.data(), bytes.size());
        }
    });
}

LONG WINAPI SCardSetAttrib(SCARDHANDLE card, DWORD attribute, LPCBYTE value, DWORD length) {
    VORN_INJECTED(SCardSetAttrib)
    if (value == nullptr && length != 0) return SCARD_E_INVALID_PARAMETER;
    return forward(request(Call::SET_ATTRIB).u64(card).u32(attribute).bytes(value, length));
}

}  // extern "C"

// Every WinSCard function of the PC/SC list (scard/pcsc_calls.h), in both forms where it
// takes reader names: the DLL does not link while one of them is missing above.
#define VORN_EXPORT_PLAIN(A, W, Api) reinterpret_cast<AnyFunction>(&Api),
#define VORN_EXPORT_NAMES(A, W, Api) \
    reinterpret_cast<AnyFunction>(&A), reinterpret_cast<AnyFunction>(&W),
#define VORN_EXPORT(Api, name, NAME, ON, TEXT) VORN_EXPORT_##TEXT(Api##A, Api##W, Api)
using AnyFunction = void (*)();  // a cast to it is never a mismatch (-Wcast-function-type)
[[gnu::used]] extern const AnyFunction VORN_EXPORTS[] = {VORN_PCSC_CALLS(VORN_EXPORT)};
#undef VORN_EXPORT
#undef VORN_EXPORT_NAMES
#undef VORN_EXPORT_PLAIN
