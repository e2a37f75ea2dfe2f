#pragma once

// What the stand-in winscard.dll (a Windows program under Wine) and its relay (a Linux
// program over pcsc-lite) say to each other on a loopback TCP connection. Each message
// is one frame of the repository's frame codec; inside it, little-endian fields: 32- and
// 64-bit integers and byte strings (a 32-bit length, then the bytes).
//
// A call is one request (its Call, then its arguments) and one answer (the Windows
// status, then what the call writes back). The DLL keeps the values as WinSCard has
// them; the relay is the one that turns them into pcsc-lite's and back (windows_model.h).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "scard/pcsc_calls.h"

namespace Vorn_SCard_Bridge::winscard_relay {

// The environment variable that tells the DLL where the relay listens ("127.0.0.1:PORT").
constexpr const char* RELAY_ADDRESS_VARIABLE = "VORN_WINSCARD_RELAY";
// Settings the tests give the DLL through the host's environment: the statuses some
// functions are to return (winscard_dll.cpp) and how long a transaction may stay idle
// before the card is reset, in milliseconds (Windows: five seconds).
constexpr const char* STATUS_VARIABLE = "VORN_WINSCARD_STATUS";
constexpr const char* IDLE_RESET_VARIABLE = "VORN_WINSCARD_IDLE_RESET_MS";
// The largest message either way: a transmit's 65,538-byte answer or a control code's
// and their lengths, with room to spare.
constexpr std::uint32_t MAX_MESSAGE_SIZE = 1 << 20;

// What each call's first argument is (scard/pcsc_calls.h).
enum class CallOn { NEW_CONTEXT, CONTEXT, CARD };

enum class Call : std::uint32_t {
    // First message of every connection. OPEN_CLIENT(idle-transaction limit in ms): the
    // connection that lives as long as the DLL's process; the relay answers a client id and, when
    // the connection ends,
    // releases whatever the process left (as Windows' service does when a process
    // ends). JOIN_CLIENT(client id): a connection that carries calls of that process.
    OPEN_CLIENT = 1,
    JOIN_CLIENT,
// Then one per WinSCard function of the PC/SC list, in its order.
#define VORN_RELAY_CALL(Api, name, NAME, ON, TEXT) NAME,
    VORN_PCSC_CALLS(VORN_RELAY_CALL)
#undef VORN_RELAY_CALL
};

// One past the last call: a number from here on names none.
#define VORN_RELAY_COUNT(Api, name, NAME, ON, TEXT) +1
constexpr std::uint32_t CALLS_END =
    static_cast<std::uint32_t>(Call::JOIN_CLIENT) + 1 VORN_PCSC_CALLS(VORN_RELAY_COUNT);
#undef VORN_RELAY_COUNT

constexpr CallOn call_on(Call call) {
    switch (call) {
#define VORN_RELAY_CALL_ON(Api, name, NAME, ON, TEXT) \
    case Call::NAME:                                  \
        return CallOn::ON;
        VORN_PCSC_CALLS(VORN_RELAY_CALL_ON)
#undef VORN_RELAY_CALL_ON
        case Call::OPEN_CLIENT:
        case Call::JOIN_CLIENT:
            break;
    }
    return CallOn::NEW_CONTEXT;
}

class Writer {
public:
    Writer& u32(std::uint32_t value) { return fixed(value, 4); }
    Writer& u64(std::uint64_t value) { return fixed(value, 8); }
    Writer& bytes(std::string_view value) {
        u32(static_cast<std::uint32_t>(value.size()));
        out.append(value);
        return *this;
    }
    Writer& bytes(const void* data, std::size_t size) {
        return bytes(std::string_view(static_cast<const char*>(data), size));
    }
    const std::string& message() const { return out; }

private:
    Writer& fixed(std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
        return *this;
    }
    std::string out;
};

// Reads fields in order; a message that ends early leaves ok() false and reads zeros.
class Reader {
public:
    explicit Reader(std::string_view message) : in(message) {}
    std::uint32_t u32() { return static_cast<std::uint32_t>(fixed(4)); }
    std::uint64_t u64() { return fixed(8); }
    std::string_view bytes() {
        const std::uint32_t size = u32();
        if (in.size() - at < size) {
            good = false;
            return {};
        }
        const std::string_view value = in.substr(at, size);
        at += size;
        return value;
    }
    // Copies a byte string into `to` (at most `capacity` bytes); returns its full size.
    std::size_t bytes_into(void* to, std::size_t capacity) {
        const std::string_view value = bytes();
        if (to != nullptr) std::memcpy(to, value.data(), std::min(capacity, value.size()));
        return value.size();
    }
    bool ok() const { return good; }

private:
    std::uint64_t fixed(int size) {
        if (in.size() - at < static_cast<std::size_t>(size)) {
            good = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < size; ++i) {
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
        }
        at += static_cast<std::size_t>(size);
        return value;
    }
    std::string_view in;
    std::size_t at = 0;
    bool good = true;
};

}  // namespace Vorn_SCard_Bridge::winscard_relay
