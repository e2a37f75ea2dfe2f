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
// SCARD_AUTOALLOCATE is not modelled (neither the host nor the installer uses it): a
// call given it answers SCARD_E_INVALID_PARAMETER.

#define WINSCARDAPI
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
        const auto answer =
            exchange(socket, Writer().u32(static_cast<std::uint32_t>(Call::OPEN_CLIENT)));
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

std::string multi_string(LPCSTR text) {
    if (text == nullptr) return {};
    const char* end = text;
    while (*end != '\0') end += std::strlen(end) + 1;
    return std::string(text, end + 1);
}

LONG list(Call call, SCARDCONTEXT context, LPCSTR groups, LPSTR buffer, LPDWORD length) {
    if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (*length == SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
    Writer message = request(call);
    message.u64(context).u32(groups != nullptr ? 1 : 0).bytes(multi_string(groups));
    buffer_request(message, buffer, *length);
    const DWORD capacity = *length;
    return forward(message, [&](Reader& reader, LONG status) {
        const DWORD needed = reader.u32();
        const std::string_view text = reader.bytes();
        if (status == SCARD_S_SUCCESS || status == SCARD_E_INSUFFICIENT_BUFFER) *length = needed;
        if (status == SCARD_S_SUCCESS && buffer != nullptr && text.size() <= capacity) {
            std::memcpy(buffer, text.data(), text.size());
        }
    });
}

}  // namespace

extern "C" {

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    return forward(request(Call::ESTABLISH_CONTEXT).u32(scope), [&](Reader& reader, LONG status) {
        const std::uint64_t handle = reader.u64();
        if (status == SCARD_S_SUCCESS) *context = static_cast<SCARDCONTEXT>(handle);
    });
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
    return forward(request(Call::RELEASE_CONTEXT).u64(context));
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT context) {
    return forward(request(Call::IS_VALID_CONTEXT).u64(context));
}

LONG WINAPI SCardCancel(SCARDCONTEXT context) {
    return forward(request(Call::CANCEL).u64(context));
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD length) {
    return list(Call::LIST_READERS, context, groups, readers, length);
}

LONG WINAPI SCardListReaderGroupsA(SCARDCONTEXT context, LPSTR groups, LPDWORD length) {
    return list(Call::LIST_READER_GROUPS, context, nullptr, groups, length);
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA states,
                                  DWORD count) {
    if (count > 0 && states == nullptr) return SCARD_E_INVALID_PARAMETER;
    Writer message = request(Call::GET_STATUS_CHANGE);
    message.u64(context).u32(timeout).u32(count);
    for (DWORD i = 0; i < count; ++i) {
        if (states[i].szReader == nullptr) return SCARD_E_INVALID_VALUE;
        message.bytes(std::string_view(states[i].szReader))
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

LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD share_mode, DWORD protocols,
                          LPSCARDHANDLE card, LPDWORD active_protocol) {
    if (reader == nullptr || card == nullptr || active_protocol == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    Writer message = request(Call::CONNECT);
    message.u64(context).bytes(std::string_view(reader)).u32(share_mode).u32(protocols);
    return forward(message, [&](Reader& answer, LONG status) {
        const std::uint64_t handle = answer.u64();
        const DWORD protocol = answer.u32();
        if (status == SCARD_S_SUCCESS) {
            *card = static_cast<SCARDHANDLE>(handle);
            *active_protocol = protocol;
        }
    });
}

LONG WINAPI SCardReconnect(SCARDHANDLE card, DWORD share_mode, DWORD protocols,
                           DWORD initialization, LPDWORD active_protocol) {
    Writer message = request(Call::RECONNECT);
    message.u64(card).u32(share_mode).u32(protocols).u32(initialization);
    return forward(message, [&](Reader& answer, LONG status) {
        const DWORD protocol = answer.u32();
        if (status == SCARD_S_SUCCESS && active_protocol != nullptr) *active_protocol = protocol;
    });
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    return forward(request(Call::DISCONNECT).u64(card).u32(disposition));
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) {
    return forward(request(Call::BEGIN_TRANSACTION).u64(card));
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    return forward(request(Call::END_TRANSACTION).u64(card).u32(disposition));
}

LONG WINAPI SCardStatusA(SCARDHANDLE card, LPSTR reader_name, LPDWORD reader_length, LPDWORD state,
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
    Writer message = request(Call::STATUS);
    message.u64(card);
    buffer_request(message, reader_name, name_capacity);
    buffer_request(message, atr, atr_capacity);
    return forward(message, [&](Reader& answer, LONG status) {
        const DWORD name_needed = answer.u32();
        const std::string_view name = answer.bytes();
        const DWORD card_state = answer.u32();
        const DWORD card_protocol = answer.u32();
        const DWORD atr_needed = answer.u32();
        const std::string_view atr_bytes = answer.bytes();
        if (!answer.ok()) return;
        if (status != SCARD_S_SUCCESS && status != SCARD_E_INSUFFICIENT_BUFFER) return;
        if (reader_length != nullptr) *reader_length = name_needed;
        if (atr_length != nullptr) *atr_length = atr_needed;
        if (status != SCARD_S_SUCCESS) return;
        if (reader_name != nullptr && name.size() <= name_capacity) {
            std::memcpy(reader_name, name.data(), name.size());
        }
        if (atr != nullptr && atr_bytes.size() <= atr_capacity) {
            std::memcpy(atr, atr_bytes.data(), atr_bytes.size());
        }
        if (state != nullptr) *state = card_state;
        if (protocol != nullptr) *protocol = card_protocol;
    });
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST send_record, LPCBYTE command,
                          DWORD command_length, LPSCARD_IO_REQUEST receive_record, LPBYTE response,
                          LPDWORD response_length) {
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
    if (value == nullptr && length != 0) return SCARD_E_INVALID_PARAMETER;
    return forward(request(Call::SET_ATTRIB).u64(card).u32(attribute).bytes(value, length));
}

}  // extern "C"
