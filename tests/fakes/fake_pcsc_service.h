#pragma once

// A scriptable stand-in for the PC/SC service: defines every function of
// scard/pcsc_service.h, so unit tests link it instead of pcsc-lite.
//
// Each call is answered, in this order, by
//   1. the next scripted Reply queued for that function (FakePcsc::next), if any;
//   2. the function's override (FakePcsc::override_*), if set;
//   3. a small simulated world: two readers "Reader A" (with a T=1 card) and "Reader B"
//      (empty), context 0x0A0B0C0D, card handle 0x11223344, answer 90 00 to every APDU.
// Every call is recorded first, with exactly the arguments it was given.
//
//   auto& fake = FakePcsc::instance();
//   fake.reset();
//   fake.next(Fn::CONTROL, {.status = pcsc::E_INSUFFICIENT_BUFFER, .length = 12});
//   fake.next(Fn::CONTROL, {.bytes = Bytes(12, 0xAB)});
//   ... run the operation ...
//   const auto calls = fake.calls(Fn::CONTROL);
//   ASSERT_EQ(calls.size(), 2u);
//   EXPECT_TRUE(calls[0].buffer_null);
//   EXPECT_EQ(calls[1].length, 12u);
//
// Thread-safe: operations may run on several workers at once. Overrides and a blocking
// status wait run outside the fake's lock, so a wait on one thread and a cancel on another
// behave as with the real service.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "scard/pcsc_calls.h"
#include "scard/pcsc_service.h"
#include "scard/pcsc_wire.h"

namespace Vorn_SCard_Bridge::fake {

using Bytes = std::vector<std::uint8_t>;

// One per call of the PC/SC list (scard/pcsc_calls.h).
enum class Fn {
#define VORN_FAKE_FN(Api, name, NAME, ON, TEXT) NAME,
    VORN_PCSC_CALLS(VORN_FAKE_FN)
#undef VORN_FAKE_FN
};

// "control", "get_status_change", ...: the pcsc:: function's name.
const char* name_of(Fn fn);

// Statuses the simulated world answers with, besides those of pcsc_service.h.
constexpr std::int32_t E_UNKNOWN_READER = static_cast<std::int32_t>(0x80100009u);
constexpr std::int32_t E_NO_SMARTCARD = static_cast<std::int32_t>(0x8010000Cu);
constexpr std::int32_t E_PROTO_MISMATCH = static_cast<std::int32_t>(0x8010000Fu);
constexpr std::int32_t E_NOT_TRANSACTED = static_cast<std::int32_t>(0x80100016u);
constexpr std::int32_t E_UNSUPPORTED_FEATURE = static_cast<std::int32_t>(0x8010001Fu);
constexpr std::int32_t E_NO_READERS_AVAILABLE = static_cast<std::int32_t>(0x8010002Eu);
constexpr std::int32_t W_REMOVED_CARD = static_cast<std::int32_t>(0x80100069u);

// Reader-state flags and protocols of the service.
constexpr std::uint32_t STATE_UNAWARE = pcsc::wire::reader_state::STATE_UNAWARE;
constexpr std::uint32_t STATE_CHANGED = pcsc::wire::reader_state::STATE_CHANGED;
constexpr std::uint32_t STATE_UNKNOWN = pcsc::wire::reader_state::STATE_UNKNOWN;
constexpr std::uint32_t STATE_EMPTY = pcsc::wire::reader_state::STATE_EMPTY;
constexpr std::uint32_t STATE_PRESENT = pcsc::wire::reader_state::STATE_PRESENT;
constexpr std::uint32_t PROTOCOL_T0 = 1;
constexpr std::uint32_t PROTOCOL_T1 = 2;
constexpr std::uint32_t PROTOCOL_RAW = 4;
// The time-out that never runs out.
constexpr std::uint32_t INFINITE_TIMEOUT = 0xFFFFFFFF;

constexpr std::int32_t DEFAULT_CONTEXT = 0x0A0B0C0D;
constexpr std::int32_t DEFAULT_CARD = 0x11223344;
constexpr const char* READER_A = "Reader A";
constexpr const char* READER_B = "Reader B";

// "A" "B" -> "A\0B\0\0" as bytes, the service's multi-string.
Bytes multi_string(const std::vector<std::string>& names);
// The bytes of text followed by one NUL.
Bytes c_string(std::string_view text);
// The T=1 ATR of the card in "Reader A" (20 bytes).
Bytes default_atr();

// One reader-state record as the caller passed it to get_status_change.
struct PassedReaderState {
    std::string reader_name{};  // empty when the pointer was null
    bool reader_name_null = false;
    std::uint32_t current_state = 0;
    std::uint32_t event_state = 0;
    std::uint32_t atr_length = 0;
    Bytes atr{};  // all 33 bytes of the record's ATR field
};

// One call with its arguments as passed (before the call changed anything). Fields that
// the function does not take keep their zero values.
struct Call {
    Fn fn = Fn::ESTABLISH_CONTEXT;
    // establish_context: the value the caller's context held before the call.
    std::int32_t context = 0;
    std::int32_t card = 0;
    std::uint32_t scope = 0;
    std::string reader_name{};  // connect
    std::uint32_t share_mode = 0;
    std::uint32_t preferred_protocols = 0;
    std::uint32_t initialization = 0;
    std::uint32_t disposition = 0;
    std::uint32_t timeout_ms = 0;
    std::uint32_t count = 0;  // get_status_change: the record count given
    std::vector<PassedReaderState> reader_states{};
    std::uint32_t control_code = 0;
    std::uint32_t attribute_id = 0;
    std::optional<pcsc::ProtocolRecord> record{};  // transmit
    Bytes data{};  // transmit command, control input, set_attrib value
    bool data_null = false;
    // The caller's output buffer: the list of list_readers/list_reader_groups, the name of
    // status, the response of transmit, the output of control, the value of get_attrib.
    bool buffer_null = false;
    // Its length as passed in; for control the output size (bytes_returned is below).
    std::uint32_t length = 0;
    std::uint32_t bytes_returned = 0;  // control: the in-value of bytes_returned
    // status: the ATR buffer and the ATR length as passed in.
    bool atr_null = false;
    std::uint32_t atr_length = 0;
};

// What a reader record of get_status_change is set to by a scripted Reply.
struct ReaderOutcome {
    std::uint32_t event_state = 0;
    Bytes atr{};                                // copied into the record (at most 33 bytes)
    std::optional<std::uint32_t> atr_length{};  // unset: atr.size()
};

// One scripted answer. The function returns status and writes only the out-parameters
// whose field is set; the others are left as the caller passed them. The simulated world
// is neither consulted nor changed.
struct Reply {
    std::int32_t status = pcsc::SUCCESS;
    // The length the call reports: list length, status name length, transmit response
    // length, control bytes returned, attribute length. Unset: the size of bytes, if set.
    std::optional<std::uint32_t> length{};
    // Copied into the caller's buffer (see Call::buffer_null) as far as its length
    // reaches; nothing is copied when the buffer pointer is null.
    std::optional<Bytes> bytes{};
    std::optional<std::int32_t> handle{};       // establish_context: context; connect: card
    std::optional<std::uint32_t> protocol{};    // connect, reconnect, status
    std::optional<std::uint32_t> state{};       // status
    std::optional<Bytes> atr{};                 // status: copied as far as the ATR buffer reaches
    std::optional<std::uint32_t> atr_length{};  // status: unset: the size of atr, if set
    std::vector<ReaderOutcome> readers{};       // get_status_change, by record index
};

class FakePcsc;

// An override of one of FakePcsc's service functions: a function of the same signature.
template <typename Member>
struct OverrideOf;
template <typename... Args>
struct OverrideOf<std::int32_t (FakePcsc::*)(Args...)> {
    using type = std::function<std::int32_t(Args...)>;
};
template <typename Member>
using Override = typename OverrideOf<Member>::type;

class FakePcsc {
public:
    static FakePcsc& instance();

    // Back to the default world: no calls recorded, no script, no overrides. Wakes any
    // blocked status wait (it returns E_CANCELLED).
    void reset();

    // --- the call log ---
    std::vector<Call> calls() const;
    std::vector<Call> calls(Fn fn) const;
    std::size_t call_count(Fn fn) const;
    void clear_calls();

    // --- scripted replies: answered in order by the next calls of fn ---
    void next(Fn fn, Reply reply);
    // Replies still queued for fn (a test can check that its script was used up).
    std::size_t pending(Fn fn) const;

    // --- the simulated world ---
    // The readers, in the order list_readers reports them; a reader not named here is
    // unknown. Cards stay in readers that are still listed.
    void set_readers(std::vector<std::string> names);
    void set_reader_groups(std::vector<std::string> names);
    // Puts a card with this ATR (answering under protocol) into a reader, or takes it out.
    // Wakes status waits that watch the reader.
    void insert_card(const std::string& reader, Bytes atr = default_atr(),
                     std::uint32_t protocol = PROTOCOL_T1);
    void remove_card(const std::string& reader);
    // The next handles handed out; each further one is one higher.
    void set_next_context(std::int32_t context);
    void set_next_card(std::int32_t card);
    // The answer of the card to one command, and to every other command (90 00 at first).
    void set_transmit_response(Bytes command, Bytes answer);
    void set_default_transmit_response(Bytes answer);
    // The output of a control code (none at first: success with 0 bytes).
    void set_control_output(std::uint32_t control_code, Bytes output);
    // An attribute's value; unknown attributes give E_UNSUPPORTED_FEATURE.
    void set_attribute(std::uint32_t attribute_id, Bytes value);
    // When true, a status wait with nothing to report blocks until a card is inserted or
    // removed, its context is cancelled or released, reset() is called, or its time-out
    // passes. When false (the default) it returns E_TIMEOUT at once.
    void set_waits_block(bool block);

    // Called by the pcsc:: functions of this fake.
    std::int32_t establish_context(std::uint32_t scope, std::int32_t& context);
    std::int32_t release_context(std::int32_t context);
    std::int32_t is_valid_context(std::int32_t context);
    std::int32_t cancel(std::int32_t context);
    std::int32_t list_readers(std::int32_t context, char* buffer, std::uint32_t& length);
    std::int32_t list_reader_groups(std::int32_t context, char* buffer, std::uint32_t& length);
    std::int32_t get_status_change(std::int32_t context, std::uint32_t timeout_ms,
                                   pcsc::ReaderState* states, std::uint32_t count);
    std::int32_t connect(std::int32_t context, const char* reader_name, std::uint32_t share_mode,
                         std::uint32_t preferred_protocols, std::int32_t& card,
                         std::uint32_t& active_protocol);
    std::int32_t reconnect(std::int32_t card, std::uint32_t share_mode,
                           std::uint32_t preferred_protocols, std::uint32_t initialization,
                           std::uint32_t& active_protocol);
    std::int32_t disconnect(std::int32_t card, std::uint32_t disposition);
    std::int32_t begin_transaction(std::int32_t card);
    std::int32_t end_transaction(std::int32_t card, std::uint32_t disposition);
    std::int32_t status(std::int32_t card, char* reader_name, std::uint32_t& reader_name_length,
                        std::uint32_t& state, std::uint32_t& protocol, std::uint8_t* atr,
                        std::uint32_t& atr_length);
    std::int32_t transmit(std::int32_t card, pcsc::ProtocolRecord record,
                          const std::uint8_t* command, std::uint32_t command_length,
                          std::uint8_t* response, std::uint32_t& response_length);
    std::int32_t control(std::int32_t card, std::uint32_t control_code, const std::uint8_t* input,
                         std::uint32_t input_length, std::uint8_t* output,
                         std::uint32_t output_size, std::uint32_t& bytes_returned);
    std::int32_t get_attrib(std::int32_t card, std::uint32_t attribute_id, std::uint8_t* buffer,
                            std::uint32_t& length);
    // Unscripted: the value is what later get_attrib calls answer.
    std::int32_t set_attrib(std::int32_t card, std::uint32_t attribute_id,
                            const std::uint8_t* value, std::uint32_t length);

    // --- overrides: override_establish_context ... one per call, with its signature above ---
#define VORN_FAKE_OVERRIDE(Api, name, NAME, ON, TEXT) \
    void override_##name(Override<decltype(&FakePcsc::name)> function);
    VORN_PCSC_CALLS(VORN_FAKE_OVERRIDE)
#undef VORN_FAKE_OVERRIDE

private:
    FakePcsc();

    struct CardSlot {
        Bytes atr;
        std::uint32_t protocol = PROTOCOL_T1;
        std::uint64_t insertion = 0;  // which insertion this is, to spot a swapped card
    };
    struct Connection {
        std::string reader;
        std::uint64_t insertion = 0;
        std::uint32_t protocol = 0;
        int transactions = 0;
    };
    struct Overrides {
#define VORN_FAKE_OVERRIDE(Api, name, NAME, ON, TEXT) Override<decltype(&FakePcsc::name)> name;
        VORN_PCSC_CALLS(VORN_FAKE_OVERRIDE)
#undef VORN_FAKE_OVERRIDE
    };

    void reset_unlocked();
    void record_unlocked(Call call);
    std::optional<Reply> take_reply_unlocked(Fn fn);
    bool context_valid_unlocked(std::int32_t context) const;
    // The state word of a reader as a status wait reports it (without STATE_CHANGED).
    std::uint32_t reader_state_unlocked(const std::string& reader) const;
    // The connection of a card handle; a handle never handed out counts as a connection to
    // the first reader that holds a card.
    Connection connection_of_unlocked(std::int32_t card) const;
    // The card a connection talks to, or null when it was removed (or swapped) since.
    const CardSlot* card_of_unlocked(const Connection& connection) const;
    std::int32_t world_list_unlocked(const std::vector<std::string>& names, std::int32_t context,
                                     char* buffer, std::uint32_t& length) const;
    std::int32_t world_get_status_change(std::unique_lock<std::mutex>& lock, std::int32_t context,
                                         std::uint32_t timeout_ms, pcsc::ReaderState* states,
                                         std::uint32_t count);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::map<Fn, std::deque<Reply>> replies_;
    Overrides overrides_;

    std::vector<std::string> readers_;
    std::vector<std::string> groups_;
    std::map<std::string, CardSlot> cards_;
    std::map<std::int32_t, Connection> connections_;
    std::set<std::int32_t> released_contexts_;
    std::set<std::int32_t> disconnected_cards_;
    std::map<std::int32_t, std::uint64_t> cancels_;  // per context: cancels so far
    std::int32_t next_context_ = DEFAULT_CONTEXT;
    std::int32_t next_card_ = DEFAULT_CARD;
    std::map<Bytes, Bytes> transmit_responses_;
    Bytes default_transmit_response_;
    std::map<std::uint32_t, Bytes> control_outputs_;
    std::map<std::uint32_t, Bytes> attributes_;
    bool waits_block_ = false;
    std::uint64_t insertions_ = 0;
    std::uint64_t world_version_ = 0;  // bumped by every change a waiter may care about
    std::uint64_t resets_ = 0;
};

}  // namespace Vorn_SCard_Bridge::fake
