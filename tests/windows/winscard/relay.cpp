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
#include <chrono>
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

// Windows 8 and later stop the Smart Card service when the last reader is removed and
// start it again when one arrives ("What's New in Smart Cards", Windows 8, as public
// PC/SC write-ups quote it; issue reports of Python and Node PC/SC bindings). Contexts
// of the stopped service are lost: their calls answer SCARD_E_SERVICE_STOPPED (the
// reports name it and SCARD_E_NO_SERVICE; which one when is not documented: assumed
// SERVICE_STOPPED for every call on an old handle), SCardIsValidContext answers
// ERROR_INVALID_HANDLE (SCardIsValidContext: the context "may become not valid if the
// resource manager service has been shut down"), and SCardEstablishContext fails until a
// reader is present (its status is not documented: assumed SCARD_E_NO_SERVICE, what
// pcsc-lite gives with no daemon). Here pcscd listing no reader, or pcscd gone, is the
// last reader removed; pcscd listing one is a reader that arrived. Not modelled: the stop
// a minute after the last call when no reader is present.
class Service {
public:
    std::uint64_t open_client(std::chrono::milliseconds idle_limit) {
        std::lock_guard<std::mutex> guard(lock);
        const std::uint64_t id = next_client++;
        clients[id].idle_limit = idle_limit;
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
            for (const auto& [handle, entry] : clients[id].handles) {
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

    // Follows pcscd for ever: whether it runs and lists a reader.
    void watch() {
        for (;;) {
            check();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

private:
    struct Entry {
        bool card = false;
        SCARDHANDLE native = 0;
        std::uint64_t context = 0;  // a card's
        std::uint64_t generation = 0;
        // A card's transaction, and when the card was last used.
        bool in_transaction = false;
        bool reset = false;
        std::chrono::steady_clock::time_point last_use;
    };
    struct Client {
        std::map<std::uint64_t, Entry> handles;
        std::chrono::milliseconds idle_limit{5000};
    };
    // A handle the process sent: the service's, unless it is unknown or of a service
    // that has stopped since; for a card, whether it was reset while idle.
    struct Lookup {
        std::optional<SCARDHANDLE> native;
        bool stale = false;
        bool reset = false;
        std::uint64_t generation = 0;
    };

    // Whether pcscd runs and lists a reader; starts or stops the service to match. The
    // watcher's context breaks when pcscd ends, so a restart between two looks is a stop
    // and a start.
    bool check() {
        std::lock_guard<std::mutex> guard(check_lock);
        if (!have_watcher) {
            have_watcher = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &watcher) ==
                           SCARD_S_SUCCESS;
        }
        bool present = false;
        if (have_watcher) {
            DWORD length = 0;
            const LONG status = SCardListReaders(watcher, nullptr, nullptr, &length);
            present = status == SCARD_S_SUCCESS;
            if (!present && status != SCARD_E_NO_READERS_AVAILABLE) {
                SCardReleaseContext(watcher);
                have_watcher = false;
            }
        }
        if (present && !have_watcher) present = false;
        if (present) {
            start();
        } else {
            stop();
        }
        return present;
    }

    void start() {
        std::lock_guard<std::mutex> guard(lock);
        running = true;
    }

    // The service's handles are lost; waits in progress end (their answer is then
    // SERVICE_STOPPED, as for every later call on them).
    // `of`: only the service of that generation (a call that found pcscd gone says
    // nothing of a service started since).
    void stop(std::optional<std::uint64_t> of = std::nullopt) {
        std::vector<SCARDCONTEXT> contexts;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!running || (of && *of != generation)) return;
            running = false;
            ++generation;
            for (const auto& [id, client] : clients) {
                for (const auto& [handle, entry] : client.handles) {
                    if (!entry.card) contexts.push_back(entry.native);
                }
            }
        }
        for (const SCARDCONTEXT context : contexts) SCardCancel(context);
    }

    bool is_running() {
        std::lock_guard<std::mutex> guard(lock);
        return running;
    }

    // pcsc-lite's answers when pcscd is gone.
    static bool lost(LONG status) {
        return status == SCARD_E_NO_SERVICE || status == SCARD_F_COMM_ERROR;
    }

    Lookup find(std::uint64_t client, std::uint64_t handle, bool card) {
        Lookup found;
        std::optional<SCARDHANDLE> to_reset;
        {
            std::lock_guard<std::mutex> guard(lock);
            const auto owner = clients.find(client);
            if (owner == clients.end()) return found;
            const auto item = owner->second.handles.find(handle);
            if (item == owner->second.handles.end() || item->second.card != card) return found;
            Entry& entry = item->second;
            if (entry.generation != generation) {
                found.stale = true;
                return found;
            }
            found.native = entry.native;
            found.generation = entry.generation;
            // SCardBeginTransaction: "If a transaction is held on the card for more than
            // five seconds with no operations happening on that card, then the card is
            // reset." Seen here when the holder next uses the card.
            if (entry.in_transaction &&
                std::chrono::steady_clock::now() - entry.last_use > owner->second.idle_limit) {
                entry.in_transaction = false;
                entry.reset = true;
                to_reset = entry.native;
            }
            found.reset = entry.reset;
        }
        if (to_reset) SCardEndTransaction(*to_reset, SCARD_RESET_CARD);
        return found;
    }

    // After a call on a card: its use, its transaction, a reconnect after a reset.
    void used(std::uint64_t client, std::uint64_t handle, Call call, LONG status) {
        std::lock_guard<std::mutex> guard(lock);
        const auto owner = clients.find(client);
        if (owner == clients.end()) return;
        const auto item = owner->second.handles.find(handle);
        if (item == owner->second.handles.end() || !item->second.card) return;
        Entry& entry = item->second;
        entry.last_use = std::chrono::steady_clock::now();
        if (status != SCARD_S_SUCCESS) return;
        if (call == Call::BEGIN_TRANSACTION) entry.in_transaction = true;
        if (call == Call::END_TRANSACTION) entry.in_transaction = false;
        if (call == Call::RECONNECT) entry.reset = false;
    }

    bool stale(std::uint64_t client, std::uint64_t handle) {
        std::lock_guard<std::mutex> guard(lock);
        const auto owner = clients.find(client);
        if (owner == clients.end()) return false;
        const auto item = owner->second.handles.find(handle);
        return item != owner->second.handles.end() && item->second.generation != generation;
    }

    std::uint64_t add(std::uint64_t client, SCARDHANDLE native, std::uint64_t context) {
        std::lock_guard<std::mutex> guard(lock);
        const bool card = context != 0;
        const std::uint64_t handle = card ? model::CARD_HANDLE_BASE + next_card++
                                          : model::CONTEXT_HANDLE_BASE + next_context++;
        Entry entry;
        entry.card = card;
        entry.native = native;
        entry.context = context;
        entry.generation = generation;
        entry.last_use = std::chrono::steady_clock::now();
        clients[client].handles[handle] = entry;
        return handle;
    }

    // A context goes with its cards.
    void remove(std::uint64_t client, std::uint64_t handle) {
        std::lock_guard<std::mutex> guard(lock);
        auto& handles = clients[client].handles;
        handles.erase(handle);
        std::erase_if(handles, [&](const auto& item) { return item.second.context == handle; });
    }

    LONG establish(std::uint64_t client, std::uint64_t& handle);
    LONG wait(SCARDCONTEXT context, DWORD timeout, const std::vector<std::string>& names,
              std::vector<SCARD_READERSTATE>& states);

    std::mutex lock;
    std::map<std::uint64_t, Client> clients;
    std::uint64_t next_client = 1;
    std::uint64_t next_context = model::FIRST_CONTEXT_NUMBER;
    std::uint64_t next_card = 0;
    bool running = false;
    std::uint64_t generation = 0;

    std::mutex check_lock;
    SCARDCONTEXT watcher = 0;
    bool have_watcher = false;
};

LONG Service::establish(std::uint64_t client, std::uint64_t& handle) {
    // A reader may have arrived since the watcher last looked.
    if (!is_running() && !check()) return SCARD_E_NO_SERVICE;
    SCARDCONTEXT native = 0;
    const LONG status = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &native);
    if (lost(status)) stop();
    if (status == SCARD_S_SUCCESS) handle = add(client, native, 0);
    return status;
}

// SCardGetStatusChange as Windows answers it where pcsc-lite 1.9 differs
// (SCARD_READERSTATE's reference):
// - "\\?PnP?\Notification" with SCARD_STATE_UNAWARE returns at once; its event state
//   then holds the number of readers in its high word (MS-RDPESC 2.2.7) and CHANGED
//   (assumed: the change that made it return); so does a current state whose high word
//   is not the number of readers (assumed); one whose high word is waits for a reader
//   to come or go, as in pcsc-lite;
// - a reader the service does not know is reported in its flags, SCARD_STATE_UNKNOWN
//   "then SCARD_STATE_CHANGED and SCARD_STATE_IGNORE will also be set", and the wait
//   returns at once (the status is not stated: assumed SCARD_S_SUCCESS); pcsc-lite
//   answers SCARD_E_UNKNOWN_READER instead.
// The other readers are waited for by pcsc-lite, for no time when one of the above
// already makes the wait return.
LONG Service::wait(SCARDCONTEXT context, DWORD timeout, const std::vector<std::string>& names,
                   std::vector<SCARD_READERSTATE>& states) {
    static const std::string PNP = "\\\\?PnP?\\Notification";
    std::vector<std::string> readers;
    DWORD length = 0;
    LONG status = SCardListReaders(context, nullptr, nullptr, &length);
    if (status == SCARD_S_SUCCESS) {
        std::string listed(length, '\0');
        status = SCardListReaders(context, nullptr, listed.data(), &length);
        for (std::size_t at = 0; status == SCARD_S_SUCCESS && at < listed.size() && listed[at];) {
            readers.emplace_back(listed.c_str() + at);
            at += readers.back().size() + 1;
        }
    }
    if (status != SCARD_S_SUCCESS && status != SCARD_E_NO_READERS_AVAILABLE) return status;

    bool at_once = false;
    std::vector<std::size_t> waited;
    for (std::size_t i = 0; i < states.size(); ++i) {
        SCARD_READERSTATE& state = states[i];
        const DWORD current = state.dwCurrentState;
        if (names[i] == PNP) {
            // UNAWARE "is represented by all bits set to zero"; a count of readers that
            // is no longer right is a change too (assumed from MS-RDPESC's event state).
            if (current == SCARD_STATE_UNAWARE || (current >> 16) != readers.size()) {
                state.dwEventState = static_cast<DWORD>(readers.size() << 16) | SCARD_STATE_CHANGED;
                at_once = true;
            } else {
                waited.push_back(i);
            }
        } else if ((current & SCARD_STATE_IGNORE) == 0 &&
                   std::find(readers.begin(), readers.end(), names[i]) == readers.end()) {
            const bool known_unknown = (current & SCARD_STATE_UNKNOWN) != 0;
            state.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE |
                                 (known_unknown ? 0 : SCARD_STATE_CHANGED);
            at_once = at_once || !known_unknown;
        } else {
            waited.push_back(i);
        }
    }
    // Nothing left to wait for: at once. Otherwise (no reader asked for, or only
    // readers already known as unknown) the wait is pcsc-lite's on no reader, which
    // answers at once: Windows' answer is not documented.
    if (waited.empty() && at_once) return SCARD_S_SUCCESS;
    std::vector<SCARD_READERSTATE> rest;
    for (const std::size_t i : waited) rest.push_back(states[i]);
    status = SCardGetStatusChange(context, at_once ? 0 : timeout, rest.data(),
                                  static_cast<DWORD>(rest.size()));
    for (std::size_t k = 0; k < waited.size(); ++k) {
        states[waited[k]].dwEventState = rest[k].dwEventState;
        states[waited[k]].cbAtr = rest[k].cbAtr;
        std::memcpy(states[waited[k]].rgbAtr, rest[k].rgbAtr, sizeof rest[k].rgbAtr);
    }
    return at_once && status == SCARD_E_TIMEOUT ? SCARD_S_SUCCESS : status;
}

bool takes_card(Call call) { return winscard_relay::call_on(call) == winscard_relay::CallOn::CARD; }

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
    if (call == Call::OPEN_CLIENT || call == Call::JOIN_CLIENT ||
        static_cast<std::uint32_t>(call) >= winscard_relay::CALLS_END) {
        return out.u32(to_windows(SCARD_E_INVALID_PARAMETER)).message();
    }
    if (call == Call::ESTABLISH_CONTEXT) {
        in.u32();  // the scope: pcsc-lite knows only the user's
        std::uint64_t handle = 0;
        const LONG status = establish(client, handle);
        out.u32(to_windows(status)).u64(handle);
        return out.message();
    }
    // Every other call names a context or a card first.
    const std::uint64_t handle = in.u64();
    const bool card = takes_card(call);
    const Lookup found = find(client, handle, card);
    std::optional<SCARDHANDLE> native = found.native;
    // Statuses start as the table's answer for an unknown handle: the service is not
    // called with it.
    LONG status = static_cast<LONG>(model::INVALID_HANDLE_STATUS);
    if (found.stale) {
        // A handle of a service that has stopped since (see Service).
        if (call != Call::IS_VALID_CONTEXT) status = SCARD_E_SERVICE_STOPPED;
        if (call == Call::RELEASE_CONTEXT || call == Call::DISCONNECT) remove(client, handle);
    } else if (found.reset && call != Call::DISCONNECT && call != Call::RECONNECT) {
        // The card was reset while its transaction stood idle: every call on it says so
        // until it is reconnected, as after any reset (SCardReconnect).
        status = SCARD_W_RESET_CARD;
        native.reset();
    }
    // What a call's status becomes: the service may have stopped under it.
    const auto settled = [&](LONG result) -> LONG {
        if (!native) return result;
        if (lost(result)) stop(found.generation);
        if (card) used(client, handle, call, result);
        if (!lost(result) && !stale(client, handle)) return result;
        return call == Call::IS_VALID_CONTEXT ? static_cast<LONG>(model::INVALID_HANDLE_STATUS)
                                              : SCARD_E_SERVICE_STOPPED;
    };
    switch (call) {
        case Call::RELEASE_CONTEXT:
        case Call::DISCONNECT: {
            const DWORD disposition = call == Call::DISCONNECT ? in.u32() : 0;
            if (native) {
                status = call == Call::DISCONNECT ? SCardDisconnect(*native, disposition)
                                                  : SCardReleaseContext(*native);
            }
            if (native &&
                (status == SCARD_S_SUCCESS || status == SCARD_E_INVALID_HANDLE || lost(status))) {
                remove(client, handle);
            }
            status = settled(status);
            out.u32(to_windows(status));
            break;
        }
        case Call::IS_VALID_CONTEXT:
            if (native) status = SCardIsValidContext(*native);
            status = settled(status);
            out.u32(to_windows(status));
            break;
        case Call::CANCEL:
            if (native) status = SCardCancel(*native);
            status = settled(status);
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
            status = settled(status);
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
                status = wait(*native, timeout, names, states);
            }
            status = settled(status);
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
            status = settled(status);
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
            status = settled(status);
            out.u32(to_windows(status))
                .u32(model::windows_protocol(static_cast<std::uint32_t>(protocol)));
            break;
        }
        case Call::BEGIN_TRANSACTION:
            if (native) status = SCardBeginTransaction(*native);
            status = settled(status);
            out.u32(to_windows(status));
            break;
        case Call::END_TRANSACTION: {
            const DWORD disposition = in.u32();
            if (native) status = SCardEndTransaction(*native, disposition);
            status = settled(status);
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
            status = settled(status);
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
            status = settled(status);
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
            status = settled(status);
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
            status = settled(status);
            out.u32(to_windows(status, CallKind::ATTRIBUTE))
                .u32(length)
                .bytes(value.written(status, length));
            break;
        }
        case Call::SET_ATTRIB: {
            const DWORD attribute = in.u32();
            const std::string value(in.bytes());
            if (native) {
                status =
                    SCardSetAttrib(*native, attribute, reinterpret_cast<const BYTE*>(value.data()),
                                   static_cast<DWORD>(value.size()));
            }
            status = settled(status);
            out.u32(to_windows(status, CallKind::ATTRIBUTE));
            break;
        }
        // Answered above.
        case Call::OPEN_CLIENT:
        case Call::JOIN_CLIENT:
        case Call::ESTABLISH_CONTEXT:
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
        const std::uint64_t client = service.open_client(std::chrono::milliseconds(first.u32()));
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
    std::thread([] { service.watch(); }).detach();
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(serve, fd).detach();
    }
}
