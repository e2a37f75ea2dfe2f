// The Linux half of the stand-in winscard.dll (winscard_dll.cpp): it takes the DLL's
// calls on a loopback port and makes them on the real pcscd through pcsc-lite, answering
// as 64-bit Windows does (windows_model.h): its own pointer-sized handles, Windows'
// protocol, control-code and card-state numbering, 36-byte ATR fields and its statuses.
// Test infrastructure: never shipped.
//
//   vorn-winscard-relay PORT_FILE
// listens on 127.0.0.1 (a free port, written to PORT_FILE once it listens) until killed.
//
// Like Windows' Smart Card service it keeps a table of the handles it gave each process
// and forgets them, releasing their contexts, when the process ends (its lasting
// connection closes); a handle that is not in the process's table is refused with
// ERROR_INVALID_HANDLE before pcscd sees it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "messaging/frame_codec.h"
#include "relay_protocol.h"
#include "windows_model.h"

namespace {

using namespace Vorn_SCard_Bridge;
using winscard_relay::Call;
using winscard_relay::Reader;
using winscard_relay::Writer;
namespace model = windows_model;
using model::CallKind;

// The most a buffer the DLL asks for may take here; larger requests get this much.
constexpr DWORD MAX_BUFFER = winscard_relay::MAX_MESSAGE_SIZE / 2;

std::uint32_t to_windows(LONG status, CallKind kind = CallKind::SERVICE) {
    return model::windows_status(static_cast<std::uint32_t>(status), kind);
}

class Service {
public:
    std::uint64_t open_client() {
        std::lock_guard<std::mutex> guard(lock);
        const std::uint64_t id = next_client++;
        clients[id];
        return id;
    }

    bool has_client(std::uint64_t id) {
        std::lock_guard<std::mutex> guard(lock);
        return clients.count(id) != 0;
    }

    // The process has ended: its waits are cancelled and its contexts released (with
    // them, pcsc-lite ends its cards' connections).
    void close_client(std::uint64_t id) {
        std::vector<SCARDCONTEXT> contexts;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (const auto& [handle, entry] : clients[id]) {
                if (!entry.card) contexts.push_back(entry.native);
            }
            clients.erase(id);
        }
        for (const SCARDCONTEXT context : contexts) {
            SCardCancel(context);
            SCardReleaseContext(context);
        }
    }

    std::string answer(std::uint64_t client, Call call, Reader& in);

private:
    struct Entry {
        bool card = false;
        SCARDHANDLE native = 0;
        std::uint64_t context = 0;  // a card's
    };

    std::optional<SCARDHANDLE> find(std::uint64_t client, std::uint64_t handle, bool card) {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = clients.find(client);
        if (found == clients.end()) return std::nullopt;
        const auto entry = found->second.find(handle);
        if (entry == found->second.end() || entry->second.card != card) return std::nullopt;
        return entry->second.native;
    }

    std::uint64_t add(std::uint64_t client, SCARDHANDLE native, std::uint64_t context) {
        std::lock_guard<std::mutex> guard(lock);
        const bool card = context != 0;
        const std::uint64_t handle = card ? model::CARD_HANDLE_BASE + next_card++
                                          : model::CONTEXT_HANDLE_BASE + next_context++;
        clients[client][handle] = Entry{card, native, context};
        return handle;
    }

    // A context goes with its cards.
    void remove(std::uint64_t client, std::uint64_t handle) {
        std::lock_guard<std::mutex> guard(lock);
        auto& handles = clients[client];
        handles.erase(handle);
        std::erase_if(handles, [&](const auto& item) { return item.second.context == handle; });
    }

    std::mutex lock;
    std::map<std::uint64_t, std::map<std::uint64_t, Entry>> clients;
    std::uint64_t next_client = 1;
    std::uint64_t next_context = model::FIRST_CONTEXT_NUMBER;
    std::uint64_t next_card = 0;
};

bool takes_card(Call call) {
    switch (call) {
        case Call::RECONNECT:
        case Call::DISCONNECT:
        case Call::BEGIN_TRANSACTION:
        case Call::END_TRANSACTION:
        case Call::STATUS:
        case Call::TRANSMIT:
        case Call::CONTROL:
        case Call::GET_ATTRIB:
        case Call::SET_ATTRIB:
            return true;
        default:
            return false;
    }
}

// A buffer the DLL's caller gave (present or not, its size), and the native one for it.
struct Buffer {
    explicit Buffer(Reader& in) : present(in.u32() != 0), length(in.u32()) {
        if (present) bytes.resize(std::min(length, MAX_BUFFER));
        length = std::min(length, MAX_BUFFER);
    }
    template <typename T = BYTE>
    T* data() {
        return present ? reinterpret_cast<T*>(bytes.data()) : nullptr;
    }
    // The bytes the service wrote, when it wrote any.
    std::string_view written(LONG status, DWORD count) const {
        if (!present || status != SCARD_S_SUCCESS) return {};
        return {reinterpret_cast<const char*>(bytes.data()),
                std::min<std::size_t>(count, bytes.size())};
    }
    bool present;
    DWORD length;
    std::vector<BYTE> bytes;
};

std::string Service::answer(std::uint64_t client, Call call, Reader& in) {
    Writer out;
    if (call == Call::ESTABLISH_CONTEXT) {
        const DWORD scope = in.u32();
        SCARDCONTEXT native = 0;
        const LONG status = SCardEstablishContext(scope, nullptr, nullptr, &native);
        out.u32(to_windows(status)).u64(status == SCARD_S_SUCCESS ? add(client, native, 0) : 0);
        return out.message();
    }
    // Every other call names a context or a card first.
    const std::uint64_t handle = in.u64();
    const std::optional<SCARDHANDLE> native = find(client, handle, takes_card(call));
    // Statuses start as the table's answer for an unknown handle: the service is not
    // called with it.
    LONG status = static_cast<LONG>(model::INVALID_HANDLE_STATUS);
    switch (call) {
        case Call::RELEASE_CONTEXT:
        case Call::DISCONNECT: {
            const DWORD disposition = call == Call::DISCONNECT ? in.u32() : 0;
            if (native) {
                status = call == Call::DISCONNECT ? SCardDisconnect(*native, disposition)
                                                  : SCardReleaseContext(*native);
            }
            if (native && (status == SCARD_S_SUCCESS || status == SCARD_E_INVALID_HANDLE)) {
                remove(client, handle);
            }
            out.u32(to_windows(status));
            break;
        }
        case Call::IS_VALID_CONTEXT:
            if (native) status = SCardIsValidContext(*native);
            out.u32(to_windows(status));
            break;
        case Call::CANCEL:
            if (native) status = SCardCancel(*native);
            out.u32(to_windows(status));
            break;
        case Call::LIST_READERS:
        case Call::LIST_READER_GROUPS: {
            const bool filtered = in.u32() != 0;
            const std::string groups(in.bytes());
            Buffer buffer(in);
            DWORD length = buffer.length;
            if (native) {
                status = call == Call::LIST_READERS
                             ? SCardListReaders(*native, filtered ? groups.c_str() : nullptr,
                                                buffer.data<char>(), &length)
                             : SCardListReaderGroups(*native, buffer.data<char>(), &length);
            }
            out.u32(to_windows(status)).u32(length).bytes(buffer.written(status, length));
            break;
        }
        case Call::GET_STATUS_CHANGE: {
            const DWORD timeout = in.u32();
            const std::uint32_t count = in.u32();
            std::vector<std::string> names;
            std::vector<SCARD_READERSTATE> states;
            for (std::uint32_t i = 0; i < count && in.ok(); ++i) {
                names.emplace_back(in.bytes());
                SCARD_READERSTATE state{};
                state.dwCurrentState = in.u32();
                state.cbAtr = std::min<DWORD>(in.u32(), sizeof state.rgbAtr);
                const std::string_view atr = in.bytes();
                std::memcpy(state.rgbAtr, atr.data(), std::min(atr.size(), sizeof state.rgbAtr));
                states.push_back(state);
            }
            for (std::size_t i = 0; i < states.size(); ++i) states[i].szReader = names[i].c_str();
            if (native && in.ok()) {
                status = SCardGetStatusChange(*native, timeout, states.data(),
                                              static_cast<DWORD>(states.size()));
            }
            out.u32(to_windows(status));
            for (const SCARD_READERSTATE& state : states) {
                BYTE atr[model::ATR_FIELD_SIZE] = {};
                std::memcpy(atr, state.rgbAtr, sizeof state.rgbAtr);
                out.u32(static_cast<std::uint32_t>(state.dwEventState))
                    .u32(static_cast<std::uint32_t>(state.cbAtr))
                    .bytes(atr, sizeof atr);
            }
            break;
        }
        case Call::CONNECT: {
            const std::string reader(in.bytes());
            const DWORD share_mode = in.u32();
            const DWORD protocols = model::pcsc_lite_protocols(in.u32());
            SCARDHANDLE card = 0;
            DWORD protocol = 0;
            if (native) {
                status =
                    SCardConnect(*native, reader.c_str(), share_mode, protocols, &card, &protocol);
            }
            out.u32(to_windows(status))
                .u64(status == SCARD_S_SUCCESS ? add(client, card, handle) : 0)
                .u32(model::windows_protocol(static_cast<std::uint32_t>(protocol)));
            break;
        }
        case Call::RECONNECT: {
            const DWORD share_mode = in.u32();
            const DWORD protocols = model::pcsc_lite_protocols(in.u32());
            const DWORD initialization = in.u32();
            DWORD protocol = 0;
            if (native) {
                status = SCardReconnect(*native, share_mode, protocols, initialization, &protocol);
            }
            out.u32(to_windows(status))
                .u32(model::windows_protocol(static_cast<std::uint32_t>(protocol)));
            break;
        }
        case Call::BEGIN_TRANSACTION:
            if (native) status = SCardBeginTransaction(*native);
            out.u32(to_windows(status));
            break;
        case Call::END_TRANSACTION: {
            const DWORD disposition = in.u32();
            if (native) status = SCardEndTransaction(*native, disposition);
            out.u32(to_windows(status));
            break;
        }
        case Call::STATUS: {
            Buffer name(in);
            Buffer atr(in);
            DWORD name_length = name.length;
            DWORD atr_length = atr.length;
            DWORD state = 0;
            DWORD protocol = 0;
            if (native) {
                status = SCardStatus(*native, name.data<char>(), &name_length, &state, &protocol,
                                     atr.data(), &atr_length);
            }
            out.u32(to_windows(status))
                .u32(name_length)
                .bytes(name.written(status, name_length))
                .u32(model::windows_card_state(static_cast<std::uint32_t>(state)))
                .u32(model::windows_protocol(static_cast<std::uint32_t>(protocol)))
                .u32(atr_length)
                .bytes(atr.written(status, atr_length));
            break;
        }
        case Call::TRANSMIT: {
            const SCARD_IO_REQUEST send{model::pcsc_lite_protocols(in.u32()),
                                        sizeof(SCARD_IO_REQUEST)};
            const std::string command(in.bytes());
            Buffer response(in);
            SCARD_IO_REQUEST received{send.dwProtocol, sizeof(SCARD_IO_REQUEST)};
            DWORD length = response.length;
            if (native) {
                status = SCardTransmit(
                    *native, &send, reinterpret_cast<const BYTE*>(command.data()),
                    static_cast<DWORD>(command.size()), &received, response.data(), &length);
            }
            out.u32(to_windows(status))
                .u32(length)
                .u32(model::windows_protocol(static_cast<std::uint32_t>(received.dwProtocol)))
                .bytes(response.written(status, length));
            break;
        }
        case Call::CONTROL: {
            const DWORD code = model::pcsc_lite_control_code(in.u32());
            const std::string input(in.bytes());
            Buffer output(in);
            DWORD returned = 0;
            if (native) {
                status = SCardControl(*native, code, input.data(), static_cast<DWORD>(input.size()),
                                      output.data(), output.length, &returned);
            }
            if (status == SCARD_S_SUCCESS && output.present &&
                code == model::PCSC_LITE_CTL_CODE_BASE + model::GET_FEATURE_REQUEST_FUNCTION) {
                model::features_to_windows(
                    std::span(output.bytes)
                        .first(std::min<std::size_t>(returned, output.bytes.size())));
            }
            out.u32(to_windows(status, CallKind::CONTROL))
                .u32(returned)
                .bytes(output.written(status, returned));
            break;
        }
        case Call::GET_ATTRIB: {
            const DWORD attribute = in.u32();
            Buffer value(in);
            DWORD length = value.length;
            if (native) status = SCardGetAttrib(*native, attribute, value.data(), &length);
            out.u32(to_windows(status, CallKind::ATTRIBUTE))
                .u32(length)
                .bytes(value.written(status, length));
            break;
        }
        case Call::SET_ATTRIB: {
            const DWORD attribute = in.u32();
            const std::string value(in.bytes());
            if (native) {
                status = SCardSetAttrib(*native, attribute,
                                        reinterpret_cast<const BYTE*>(value.data()),
                                        static_cast<DWORD>(value.size()));
            }
            out.u32(to_windows(status, CallKind::ATTRIBUTE));
            break;
        }
        default:
            out.u32(to_windows(SCARD_E_INVALID_PARAMETER));
            break;
    }
    return out.message();
}

Service service;

std::optional<std::string> receive_message(int fd, framing::FrameDecoder& decoder) {
    std::string message;
    char chunk[16384];
    for (;;) {
        if (decoder.next(message) == framing::FrameDecoder::Status::FRAME) return message;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        decoder.feed(chunk, static_cast<std::size_t>(n));
    }
}

bool send_message(int fd, const std::string& message) {
    return framing::write_all(fd, framing::encode_frame(message));
}

void serve(int fd) {
    framing::FrameDecoder decoder(winscard_relay::MAX_MESSAGE_SIZE);
    std::optional<std::string> hello = receive_message(fd, decoder);
    Reader first(hello.value_or(std::string()));
    const auto call = static_cast<Call>(first.u32());
    if (hello && call == Call::OPEN_CLIENT) {
        const std::uint64_t client = service.open_client();
        send_message(fd, Writer().u32(SCARD_S_SUCCESS).u64(client).message());
        while (receive_message(fd, decoder)) {
        }
        service.close_client(client);
    } else if (hello && call == Call::JOIN_CLIENT) {
        const std::uint64_t client = first.u64();
        const bool known = first.ok() && service.has_client(client);
        send_message(fd,
                     Writer().u32(known ? SCARD_S_SUCCESS : model::ERROR_INVALID_HANDLE).message());
        while (known) {
            const std::optional<std::string> request = receive_message(fd, decoder);
            if (!request) break;
            Reader in(*request);
            const auto requested = static_cast<Call>(in.u32());
            if (!send_message(fd, service.answer(client, requested, in))) break;
        }
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT_FILE\n", argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("vorn-winscard-relay: listen");
        return 1;
    }
    const std::filesystem::path port_file = argv[1];
    const std::filesystem::path partial = port_file.string() + ".partial";
    std::ofstream(partial) << ntohs(address.sin_port) << "\n";
    std::filesystem::rename(partial, port_file);
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(serve, fd).detach();
    }
}
