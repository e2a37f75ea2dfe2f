#include "fakes/fake_pcsc_service.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace Vorn_SCard_Bridge::fake {

namespace {

constexpr std::int32_t E_INVALID_PARAMETER = static_cast<std::int32_t>(0x80100004u);
constexpr std::int32_t E_INVALID_VALUE = static_cast<std::int32_t>(0x80100011u);
constexpr std::uint32_t SCOPE_SYSTEM = 2;
// pcsc-lite refuses more records than this in one wait.
constexpr std::uint32_t MAX_WAIT_RECORDS = 16;
constexpr std::uint32_t STATE_IGNORE = pcsc::wire::reader_state::STATE_IGNORE;
constexpr std::uint32_t STATE_INUSE = pcsc::wire::reader_state::STATE_INUSE;
// What SCardStatus reports for a powered card: present, powered, negotiable.
constexpr std::uint32_t CARD_STATE_POWERED = 0x0034;
constexpr std::uint32_t ATTR_VENDOR_NAME = 0x00010100;
constexpr std::uint32_t ATTR_ATR_STRING = 0x00090303;
constexpr const char* PNP_NOTIFICATION = "\\\\?PnP?\\Notification";

// Copies as much of source as fits into a caller's buffer of capacity bytes.
template <typename Byte>
void copy_into(Byte* destination, std::uint32_t capacity, const Bytes& source) {
    if (destination == nullptr) {
        return;
    }
    const std::size_t n = std::min<std::size_t>(capacity, source.size());
    // memcpy with an empty vector's null data() is undefined even for 0 bytes.
    if (n == 0) return;
    std::memcpy(destination, source.data(), n);
}

// The two-call convention of the service: a null buffer asks for the size, a buffer that
// is too small is refused with the size, one that is large enough is filled.
template <typename Byte>
std::int32_t answer_with(const Bytes& value, Byte* buffer, std::uint32_t& length) {
    const auto needed = static_cast<std::uint32_t>(value.size());
    if (buffer == nullptr) {
        length = needed;
        return pcsc::SUCCESS;
    }
    if (length < needed) {
        length = needed;
        return pcsc::E_INSUFFICIENT_BUFFER;
    }
    copy_into(buffer, length, value);
    length = needed;
    return pcsc::SUCCESS;
}

template <typename Byte>
void apply_buffer_reply(const Reply& reply, Byte* buffer, std::uint32_t& length) {
    const std::uint32_t capacity = length;
    if (reply.bytes) {
        copy_into(buffer, capacity, *reply.bytes);
        length = static_cast<std::uint32_t>(reply.bytes->size());
    }
    if (reply.length) {
        length = *reply.length;
    }
}

}  // namespace

const char* name_of(Fn fn) {
    switch (fn) {
#define VORN_FAKE_NAME(Api, name, NAME, ON, TEXT) \
    case Fn::NAME:                                \
        return #name;
        VORN_PCSC_CALLS(VORN_FAKE_NAME)
#undef VORN_FAKE_NAME
    }
    return "?";
}

Bytes multi_string(const std::vector<std::string>& names) {
    Bytes bytes;
    for (const auto& name : names) {
        bytes.insert(bytes.end(), name.begin(), name.end());
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

Bytes c_string(std::string_view text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

Bytes default_atr() {
    return {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
            0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A};
}

FakePcsc& FakePcsc::instance() {
    static FakePcsc fake;
    return fake;
}

FakePcsc::FakePcsc() { reset_unlocked(); }

void FakePcsc::reset() {
    std::lock_guard lock(mutex_);
    reset_unlocked();
    changed_.notify_all();
}

void FakePcsc::reset_unlocked() {
    calls_.clear();
    replies_.clear();
    overrides_ = Overrides{};
    readers_ = {READER_A, READER_B};
    groups_ = {"SCard$DefaultReaders"};
    cards_.clear();
    cards_[READER_A] = CardSlot{default_atr(), PROTOCOL_T1, ++insertions_};
    connections_.clear();
    released_contexts_.clear();
    disconnected_cards_.clear();
    next_context_ = DEFAULT_CONTEXT;
    next_card_ = DEFAULT_CARD;
    transmit_responses_.clear();
    default_transmit_response_ = {0x90, 0x00};
    control_outputs_.clear();
    attributes_.clear();
    const std::string vendor = "Vorn Fake Readers";
    attributes_[ATTR_VENDOR_NAME] = Bytes(vendor.begin(), vendor.end());
    waits_block_ = false;
    // Waiters of the previous test see a new world and end with E_CANCELLED.
    ++world_version_;
    ++resets_;
}

// --- call log and script ---

std::vector<Call> FakePcsc::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<Call> FakePcsc::calls(Fn fn) const {
    std::lock_guard lock(mutex_);
    std::vector<Call> matching;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(matching),
                 [fn](const Call& call) { return call.fn == fn; });
    return matching;
}

std::size_t FakePcsc::call_count(Fn fn) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [fn](const Call& call) { return call.fn == fn; }));
}

void FakePcsc::clear_calls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

void FakePcsc::next(Fn fn, Reply reply) {
    std::lock_guard lock(mutex_);
    replies_[fn].push_back(std::move(reply));
}

std::size_t FakePcsc::pending(Fn fn) const {
    std::lock_guard lock(mutex_);
    const auto it = replies_.find(fn);
    return it == replies_.end() ? 0 : it->second.size();
}

void FakePcsc::record_unlocked(Call call) { calls_.push_back(std::move(call)); }

std::optional<Reply> FakePcsc::take_reply_unlocked(Fn fn) {
    auto it = replies_.find(fn);
    if (it == replies_.end() || it->second.empty()) {
        return std::nullopt;
    }
    Reply reply = std::move(it->second.front());
    it->second.pop_front();
    return reply;
}

// --- overrides ---

#define VORN_FAKE_OVERRIDE(Api, name, NAME, ON, TEXT)                    \
    void FakePcsc::override_##name(decltype(Overrides::name) function) { \
        std::lock_guard lock(mutex_);                                    \
        overrides_.name = std::move(function);                           \
    }
VORN_PCSC_CALLS(VORN_FAKE_OVERRIDE)
#undef VORN_FAKE_OVERRIDE

// --- the simulated world ---

void FakePcsc::set_readers(std::vector<std::string> names) {
    std::lock_guard lock(mutex_);
    readers_ = std::move(names);
    std::erase_if(cards_, [this](const auto& entry) {
        return std::find(readers_.begin(), readers_.end(), entry.first) == readers_.end();
    });
    ++world_version_;
    changed_.notify_all();
}

void FakePcsc::set_reader_groups(std::vector<std::string> names) {
    std::lock_guard lock(mutex_);
    groups_ = std::move(names);
}

void FakePcsc::insert_card(const std::string& reader, Bytes atr, std::uint32_t protocol) {
    std::lock_guard lock(mutex_);
    cards_[reader] = CardSlot{std::move(atr), protocol, ++insertions_};
    ++world_version_;
    changed_.notify_all();
}

void FakePcsc::remove_card(const std::string& reader) {
    std::lock_guard lock(mutex_);
    cards_.erase(reader);
    ++world_version_;
    changed_.notify_all();
}

void FakePcsc::set_next_context(std::int32_t context) {
    std::lock_guard lock(mutex_);
    next_context_ = context;
}

void FakePcsc::set_next_card(std::int32_t card) {
    std::lock_guard lock(mutex_);
    next_card_ = card;
}

void FakePcsc::set_transmit_response(Bytes command, Bytes answer) {
    std::lock_guard lock(mutex_);
    transmit_responses_[std::move(command)] = std::move(answer);
}

void FakePcsc::set_default_transmit_response(Bytes answer) {
    std::lock_guard lock(mutex_);
    default_transmit_response_ = std::move(answer);
}

void FakePcsc::set_control_output(std::uint32_t control_code, Bytes output) {
    std::lock_guard lock(mutex_);
    control_outputs_[control_code] = std::move(output);
}

void FakePcsc::set_attribute(std::uint32_t attribute_id, Bytes value) {
    std::lock_guard lock(mutex_);
    attributes_[attribute_id] = std::move(value);
}

void FakePcsc::set_waits_block(bool block) {
    std::lock_guard lock(mutex_);
    waits_block_ = block;
}

bool FakePcsc::context_valid_unlocked(std::int32_t context) const {
    // Any context is accepted until it is released, so a test can use a made-up one.
    return released_contexts_.count(context) == 0;
}

std::uint32_t FakePcsc::reader_state_unlocked(const std::string& reader) const {
    if (cards_.count(reader) == 0) {
        return STATE_EMPTY;
    }
    const bool in_use =
        std::any_of(connections_.begin(), connections_.end(),
                    [&](const auto& entry) { return entry.second.reader == reader; });
    return STATE_PRESENT | (in_use ? STATE_INUSE : 0);
}

FakePcsc::Connection FakePcsc::connection_of_unlocked(std::int32_t card) const {
    if (const auto it = connections_.find(card); it != connections_.end()) {
        return it->second;
    }
    // A handle the fake never handed out (a test made it up) is taken as a connection to
    // the first reader that holds a card.
    for (const auto& reader : readers_) {
        if (const auto slot = cards_.find(reader); slot != cards_.end()) {
            return Connection{reader, slot->second.insertion, slot->second.protocol, 0};
        }
    }
    return Connection{};
}

const FakePcsc::CardSlot* FakePcsc::card_of_unlocked(const Connection& connection) const {
    const auto slot = cards_.find(connection.reader);
    if (slot == cards_.end() || slot->second.insertion != connection.insertion) {
        return nullptr;
    }
    return &slot->second;
}

std::int32_t FakePcsc::world_list_unlocked(const std::vector<std::string>& names,
                                           std::int32_t context, char* buffer,
                                           std::uint32_t& length) const {
    if (!context_valid_unlocked(context)) {
        return pcsc::E_INVALID_HANDLE;
    }
    return answer_with(multi_string(names), buffer, length);
}

// --- the service's functions ---

std::int32_t FakePcsc::establish_context(std::uint32_t scope, std::int32_t& context) {
    std::unique_lock lock(mutex_);
    Call call{.fn = Fn::ESTABLISH_CONTEXT, .context = context, .scope = scope};
    record_unlocked(std::move(call));
    if (auto reply = take_reply_unlocked(Fn::ESTABLISH_CONTEXT)) {
        if (reply->handle) {
            context = *reply->handle;
        }
        return reply->status;
    }
    if (auto custom = overrides_.establish_context) {
        lock.unlock();
        return custom(scope, context);
    }
    if (scope > SCOPE_SYSTEM) {
        context = 0;
        return E_INVALID_VALUE;
    }
    context = next_context_++;
    released_contexts_.erase(context);
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::release_context(std::int32_t context) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::RELEASE_CONTEXT, .context = context});
    if (auto reply = take_reply_unlocked(Fn::RELEASE_CONTEXT)) {
        return reply->status;
    }
    if (auto custom = overrides_.release_context) {
        lock.unlock();
        return custom(context);
    }
    if (!context_valid_unlocked(context)) {
        return pcsc::E_INVALID_HANDLE;
    }
    released_contexts_.insert(context);
    ++world_version_;
    changed_.notify_all();
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::is_valid_context(std::int32_t context) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::IS_VALID_CONTEXT, .context = context});
    if (auto reply = take_reply_unlocked(Fn::IS_VALID_CONTEXT)) {
        return reply->status;
    }
    if (auto custom = overrides_.is_valid_context) {
        lock.unlock();
        return custom(context);
    }
    return context_valid_unlocked(context) ? pcsc::SUCCESS : pcsc::E_INVALID_HANDLE;
}

std::int32_t FakePcsc::cancel(std::int32_t context) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::CANCEL, .context = context});
    if (auto reply = take_reply_unlocked(Fn::CANCEL)) {
        return reply->status;
    }
    if (auto custom = overrides_.cancel) {
        lock.unlock();
        return custom(context);
    }
    if (!context_valid_unlocked(context)) {
        return pcsc::E_INVALID_HANDLE;
    }
    ++cancels_[context];
    changed_.notify_all();
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::list_readers(std::int32_t context, char* buffer, std::uint32_t& length) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::LIST_READERS,
                         .context = context,
                         .buffer_null = buffer == nullptr,
                         .length = length});
    if (auto reply = take_reply_unlocked(Fn::LIST_READERS)) {
        apply_buffer_reply(*reply, buffer, length);
        return reply->status;
    }
    if (auto custom = overrides_.list_readers) {
        lock.unlock();
        return custom(context, buffer, length);
    }
    if (context_valid_unlocked(context) && readers_.empty()) {
        return E_NO_READERS_AVAILABLE;
    }
    return world_list_unlocked(readers_, context, buffer, length);
}

std::int32_t FakePcsc::list_reader_groups(std::int32_t context, char* buffer,
                                          std::uint32_t& length) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::LIST_READER_GROUPS,
                         .context = context,
                         .buffer_null = buffer == nullptr,
                         .length = length});
    if (auto reply = take_reply_unlocked(Fn::LIST_READER_GROUPS)) {
        apply_buffer_reply(*reply, buffer, length);
        return reply->status;
    }
    if (auto custom = overrides_.list_reader_groups) {
        lock.unlock();
        return custom(context, buffer, length);
    }
    return world_list_unlocked(groups_, context, buffer, length);
}

std::int32_t FakePcsc::get_status_change(std::int32_t context, std::uint32_t timeout_ms,
                                         pcsc::ReaderState* states, std::uint32_t count) {
    std::unique_lock lock(mutex_);
    Call call{
        .fn = Fn::GET_STATUS_CHANGE, .context = context, .timeout_ms = timeout_ms, .count = count};
    for (std::uint32_t i = 0; states != nullptr && i < count; ++i) {
        const pcsc::ReaderState& state = states[i];
        call.reader_states.push_back(PassedReaderState{
            .reader_name = state.reader_name ? state.reader_name : "",
            .reader_name_null = state.reader_name == nullptr,
            .current_state = state.current_state,
            .event_state = state.event_state,
            .atr_length = state.atr_length,
            .atr = Bytes(state.atr.begin(), state.atr.end()),
        });
    }
    record_unlocked(std::move(call));
    if (auto reply = take_reply_unlocked(Fn::GET_STATUS_CHANGE)) {
        const std::size_t n = std::min<std::size_t>(reply->readers.size(), states ? count : 0);
        for (std::size_t i = 0; i < n; ++i) {
            const ReaderOutcome& outcome = reply->readers[i];
            states[i].event_state = outcome.event_state;
            states[i].atr.fill(0);
            copy_into(states[i].atr.data(), pcsc::MAX_ATR_SIZE, outcome.atr);
            states[i].atr_length =
                outcome.atr_length.value_or(static_cast<std::uint32_t>(outcome.atr.size()));
        }
        return reply->status;
    }
    if (auto custom = overrides_.get_status_change) {
        lock.unlock();
        return custom(context, timeout_ms, states, count);
    }
    return world_get_status_change(lock, context, timeout_ms, states, count);
}

std::int32_t FakePcsc::world_get_status_change(std::unique_lock<std::mutex>& lock,
                                               std::int32_t context, std::uint32_t timeout_ms,
                                               pcsc::ReaderState* states, std::uint32_t count) {
    if (!context_valid_unlocked(context)) {
        return pcsc::E_INVALID_HANDLE;
    }
    if (count > MAX_WAIT_RECORDS || (states == nullptr && count > 0)) {
        return E_INVALID_PARAMETER;
    }
    if (count == 0) {
        return pcsc::SUCCESS;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const std::uint64_t cancels_at_start = cancels_[context];
    const std::uint64_t resets_at_start = resets_;
    for (;;) {
        bool any_changed = false;
        for (std::uint32_t i = 0; i < count; ++i) {
            pcsc::ReaderState& record = states[i];
            const std::string name = record.reader_name ? record.reader_name : "";
            // pcsc-lite never reports a change for the notification record unless readers
            // come or go during the wait, which the fake does not model.
            if (name == PNP_NOTIFICATION) {
                record.event_state = 0;
                continue;
            }
            if ((record.current_state & STATE_IGNORE) != 0) {
                continue;
            }
            if (std::find(readers_.begin(), readers_.end(), name) == readers_.end()) {
                return E_UNKNOWN_READER;
            }
            const std::uint32_t state = reader_state_unlocked(name);
            const std::uint32_t known = record.current_state & 0xFFFF & ~STATE_CHANGED;
            const bool changed = known != state;
            record.event_state = state | (changed ? STATE_CHANGED : 0);
            record.atr.fill(0);
            record.atr_length = 0;
            if (const auto slot = cards_.find(name); slot != cards_.end()) {
                copy_into(record.atr.data(), pcsc::MAX_ATR_SIZE, slot->second.atr);
                record.atr_length = static_cast<std::uint32_t>(
                    std::min<std::size_t>(slot->second.atr.size(), pcsc::MAX_ATR_SIZE));
            }
            any_changed = any_changed || changed;
        }
        if (any_changed) {
            return pcsc::SUCCESS;
        }
        if (!waits_block_ || timeout_ms == 0) {
            return pcsc::E_TIMEOUT;
        }
        const std::uint64_t version = world_version_;
        const auto woken = [&] {
            return world_version_ != version || cancels_[context] != cancels_at_start ||
                   resets_ != resets_at_start;
        };
        if (timeout_ms == INFINITE_TIMEOUT) {
            changed_.wait(lock, woken);
        } else if (!changed_.wait_until(lock, deadline, woken)) {
            return pcsc::E_TIMEOUT;
        }
        if (cancels_[context] != cancels_at_start || resets_ != resets_at_start) {
            return pcsc::E_CANCELLED;
        }
        if (!context_valid_unlocked(context)) {
            return pcsc::E_INVALID_HANDLE;
        }
    }
}

std::int32_t FakePcsc::connect(std::int32_t context, const char* reader_name,
                               std::uint32_t share_mode, std::uint32_t preferred_protocols,
                               std::int32_t& card, std::uint32_t& active_protocol) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::CONNECT,
                         .context = context,
                         .card = card,
                         .reader_name = reader_name ? reader_name : "",
                         .share_mode = share_mode,
                         .preferred_protocols = preferred_protocols});
    if (auto reply = take_reply_unlocked(Fn::CONNECT)) {
        if (reply->handle) {
            card = *reply->handle;
        }
        if (reply->protocol) {
            active_protocol = *reply->protocol;
        }
        return reply->status;
    }
    if (auto custom = overrides_.connect) {
        lock.unlock();
        return custom(context, reader_name, share_mode, preferred_protocols, card, active_protocol);
    }
    if (!context_valid_unlocked(context)) {
        return pcsc::E_INVALID_HANDLE;
    }
    const std::string name = reader_name ? reader_name : "";
    if (std::find(readers_.begin(), readers_.end(), name) == readers_.end()) {
        return E_UNKNOWN_READER;
    }
    const auto slot = cards_.find(name);
    if (slot == cards_.end()) {
        return E_NO_SMARTCARD;
    }
    if ((slot->second.protocol & preferred_protocols) == 0) {
        return E_PROTO_MISMATCH;
    }
    card = next_card_++;
    active_protocol = slot->second.protocol;
    connections_[card] = Connection{name, slot->second.insertion, slot->second.protocol, 0};
    disconnected_cards_.erase(card);
    ++world_version_;
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::reconnect(std::int32_t card, std::uint32_t share_mode,
                                 std::uint32_t preferred_protocols, std::uint32_t initialization,
                                 std::uint32_t& active_protocol) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::RECONNECT,
                         .card = card,
                         .share_mode = share_mode,
                         .preferred_protocols = preferred_protocols,
                         .initialization = initialization});
    if (auto reply = take_reply_unlocked(Fn::RECONNECT)) {
        if (reply->protocol) {
            active_protocol = *reply->protocol;
        }
        return reply->status;
    }
    if (auto custom = overrides_.reconnect) {
        lock.unlock();
        return custom(card, share_mode, preferred_protocols, initialization, active_protocol);
    }
    if (disconnected_cards_.count(card) != 0) {
        return pcsc::E_INVALID_HANDLE;
    }
    Connection connection = connection_of_unlocked(card);
    const auto slot = cards_.find(connection.reader);
    if (slot == cards_.end()) {
        return E_NO_SMARTCARD;
    }
    if ((slot->second.protocol & preferred_protocols) == 0) {
        return E_PROTO_MISMATCH;
    }
    // A reconnect takes up whatever card is in the reader now.
    connection.insertion = slot->second.insertion;
    connection.protocol = slot->second.protocol;
    connections_[card] = connection;
    active_protocol = connection.protocol;
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::disconnect(std::int32_t card, std::uint32_t disposition) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::DISCONNECT, .card = card, .disposition = disposition});
    if (auto reply = take_reply_unlocked(Fn::DISCONNECT)) {
        return reply->status;
    }
    if (auto custom = overrides_.disconnect) {
        lock.unlock();
        return custom(card, disposition);
    }
    if (disconnected_cards_.count(card) != 0) {
        return pcsc::E_INVALID_HANDLE;
    }
    connections_.erase(card);
    disconnected_cards_.insert(card);
    ++world_version_;
    changed_.notify_all();
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::begin_transaction(std::int32_t card) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::BEGIN_TRANSACTION, .card = card});
    if (auto reply = take_reply_unlocked(Fn::BEGIN_TRANSACTION)) {
        return reply->status;
    }
    if (auto custom = overrides_.begin_transaction) {
        lock.unlock();
        return custom(card);
    }
    if (disconnected_cards_.count(card) != 0) {
        return pcsc::E_INVALID_HANDLE;
    }
    Connection connection = connection_of_unlocked(card);
    if (card_of_unlocked(connection) == nullptr) {
        return W_REMOVED_CARD;
    }
    ++connection.transactions;
    connections_[card] = connection;
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::end_transaction(std::int32_t card, std::uint32_t disposition) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::END_TRANSACTION, .card = card, .disposition = disposition});
    if (auto reply = take_reply_unlocked(Fn::END_TRANSACTION)) {
        return reply->status;
    }
    if (auto custom = overrides_.end_transaction) {
        lock.unlock();
        return custom(card, disposition);
    }
    if (disconnected_cards_.count(card) != 0) {
        return pcsc::E_INVALID_HANDLE;
    }
    Connection connection = connection_of_unlocked(card);
    if (card_of_unlocked(connection) == nullptr) {
        return W_REMOVED_CARD;
    }
    if (connection.transactions == 0) {
        return E_NOT_TRANSACTED;
    }
    --connection.transactions;
    connections_[card] = connection;
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::status(std::int32_t card, char* reader_name,
                              std::uint32_t& reader_name_length, std::uint32_t& state,
                              std::uint32_t& protocol, std::uint8_t* atr,
                              std::uint32_t& atr_length) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::STATUS,
                         .card = card,
                         .buffer_null = reader_name == nullptr,
                         .length = reader_name_length,
                         .atr_null = atr == nullptr,
                         .atr_length = atr_length});
    if (auto reply = take_reply_unlocked(Fn::STATUS)) {
        apply_buffer_reply(*reply, reader_name, reader_name_length);
        if (reply->state) {
            state = *reply->state;
        }
        if (reply->protocol) {
            protocol = *reply->protocol;
        }
        const std::uint32_t atr_capacity = atr_length;
        if (reply->atr) {
            copy_into(atr, atr_capacity, *reply->atr);
            atr_length = static_cast<std::uint32_t>(reply->atr->size());
        }
        if (reply->atr_length) {
            atr_length = *reply->atr_length;
        }
        return reply->status;
    }
    if (auto custom = overrides_.status) {
        lock.unlock();
        return custom(card, reader_name, reader_name_length, state, protocol, atr, atr_length);
    }
    if (disconnected_cards_.count(card) != 0) {
        return pcsc::E_INVALID_HANDLE;
    }
    const Connection connection = connection_of_unlocked(card);
    const CardSlot* slot = card_of_unlocked(connection);
    if (slot == nullptr) {
        return W_REMOVED_CARD;
    }
    // As pcsc-lite: a null buffer is answered with the needed length whatever length came
    // with it; the ATR length is reported even without an ATR buffer.
    const std::int32_t name_status =
        answer_with(c_string(connection.reader), reader_name, reader_name_length);
    const std::int32_t atr_status = answer_with(slot->atr, atr, atr_length);
    state = CARD_STATE_POWERED;
    protocol = connection.protocol;
    return name_status != pcsc::SUCCESS ? name_status : atr_status;
}

std::int32_t FakePcsc::transmit(std::int32_t card, pcsc::ProtocolRecord record,
                                const std::uint8_t* command, std::uint32_t command_length,
                                std::uint8_t* response, std::uint32_t& response_length) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{
        .fn = Fn::TRANSMIT,
        .card = card,
        .record = record,
        .data = command ? Bytes(command, command + command_length) : Bytes{},
        .data_null = command == nullptr,
        .buffer_null = response == nullptr,
        .length = response_length,
    });
    if (auto reply = take_reply_unlocked(Fn::TRANSMIT)) {
        apply_buffer_reply(*reply, response, response_length);
        return reply->status;
    }
    if (auto custom = overrides_.transmit) {
        lock.unlock();
        return custom(card, record, command, command_length, response, response_length);
    }
    if (disconnected_cards_.count(card) != 0) {
        return pcsc::E_INVALID_HANDLE;
    }
    if (card_of_unlocked(connection_of_unlocked(card)) == nullptr) {
        return W_REMOVED_CARD;
    }
    if (command == nullptr || response == nullptr) {
        return E_INVALID_PARAMETER;
    }
    // The fake's card answers under any protocol record; tests check the record passed.
    const Bytes key(command, command + command_length);
    const auto it = transmit_responses_.find(key);
    const Bytes& answer = it != transmit_responses_.end() ? it->second : default_transmit_response_;
    return answer_with(answer, response, response_length);
}

std::int32_t FakePcsc::control(std::int32_t card, std::uint32_t control_code,
                               const std::uint8_t* input, std::uint32_t input_length,
                               std::uint8_t* output, std::uint32_t output_size,
                               std::uint32_t& bytes_returned) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{
        .fn = Fn::CONTROL,
        .card = card,
        .control_code = control_code,
        .data = input ? Bytes(input, input + input_length) : Bytes{},
        .data_null = input == nullptr,
        .buffer_null = output == nullptr,
        .length = output_size,
        .bytes_returned = bytes_returned,
    });
    if (auto reply = take_reply_unlocked(Fn::CONTROL)) {
        if (reply->bytes) {
            copy_into(output, output_size, *reply->bytes);
            bytes_returned = static_cast<std::uint32_t>(reply->bytes->size());
        }
        if (reply->length) {
            bytes_returned = *reply->length;
        }
        return reply->status;
    }
    if (auto custom = overrides_.control) {
        lock.unlock();
        return custom(card, control_code, input, input_length, output, output_size, bytes_returned);
    }
    if (disconnected_cards_.count(card) != 0) {
        return pcsc::E_INVALID_HANDLE;
    }
    const auto it = control_outputs_.find(control_code);
    const Bytes empty;
    const Bytes& produced = it != control_outputs_.end() ? it->second : empty;
    const auto needed = static_cast<std::uint32_t>(produced.size());
    if (needed > 0 && (output == nullptr || output_size < needed)) {
        bytes_returned = needed;
        return pcsc::E_INSUFFICIENT_BUFFER;
    }
    copy_into(output, output_size, produced);
    bytes_returned = needed;
    return pcsc::SUCCESS;
}

std::int32_t FakePcsc::get_attrib(std::int32_t card, std::uint32_t attribute_id,
                                  std::uint8_t* buffer, std::uint32_t& length) {
    std::unique_lock lock(mutex_);
    record_unlocked(Call{.fn = Fn::GET_ATTRIB,
                         .card = card,
                         .attribute_id = attribute_id,
                         .buffer_null = buffer == nullptr,
                         .length = length});
    if (auto reply = take_reply_unlocked(Fn::GET_ATTRIB)) {
        apply_buffer_reply(*reply, buffer, length);
        return reply->status;
    }
    if (auto custom = overrides_.get_attrib) {
        lock.unlock();
        return custom(card, attribute_id, buffer, length);
    }
    if (disconnected_cards_.count(card) != 0) {
        return pcsc::E_INVALID_HANDLE;
    }
    if (const auto it = attributes_.find(attribute_id); it != attributes_.end()) {
        return answer_with(it->second, buffer, length);
    }
    if (attribute_id == ATTR_ATR_STRING) {
        if (const CardSlot* slot = card_of_unlocked(connection_of_unlocked(card))) {
            return answer_with(slot->atr, buffer, length);
        }
        return W_REMOVED_CARD;
    }
    return E_UNSUPPORTED_FEATURE;
}

std::int32_t FakePcsc::set_attrib(std::int32_t card, std::uint32_t attribute_id,
                                  const std::uint8_t* value, std::uint32_t length) {
    std::unique_lock lock(mutex_);
    Bytes bytes(value, value + length);
    record_unlocked(
        Call{.fn = Fn::SET_ATTRIB, .card = card, .attribute_id = attribute_id, .data = bytes});
    if (auto reply = take_reply_unlocked(Fn::SET_ATTRIB)) return reply->status;
    if (auto custom = overrides_.set_attrib) {
        lock.unlock();
        return custom(card, attribute_id, value, length);
    }
    if (disconnected_cards_.count(card) != 0) return pcsc::E_INVALID_HANDLE;
    attributes_[attribute_id] = std::move(bytes);
    return pcsc::SUCCESS;
}

}  // namespace Vorn_SCard_Bridge::fake

// The pcsc:: interface, served by the fake.
namespace Vorn_SCard_Bridge::pcsc {

using fake::FakePcsc;

namespace {
// The fake world's handles are 32 bits wide.
std::int32_t fake_handle(Handle handle) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(handle));
}
Handle service_value(std::int32_t handle) {
    return static_cast<Handle>(static_cast<std::uint32_t>(handle));
}
}  // namespace

std::int32_t establish_context(std::uint32_t scope, Handle& context) {
    std::int32_t fake = fake_handle(context);
    const std::int32_t status = FakePcsc::instance().establish_context(scope, fake);
    context = service_value(fake);
    return status;
}

std::int32_t release_context(Handle context) {
    return FakePcsc::instance().release_context(fake_handle(context));
}

std::int32_t is_valid_context(Handle context) {
    return FakePcsc::instance().is_valid_context(fake_handle(context));
}

std::int32_t cancel(Handle context) { return FakePcsc::instance().cancel(fake_handle(context)); }

std::int32_t list_readers(Handle context, char* buffer, std::uint32_t& length) {
    return FakePcsc::instance().list_readers(fake_handle(context), buffer, length);
}

std::int32_t list_reader_groups(Handle context, char* buffer, std::uint32_t& length) {
    return FakePcsc::instance().list_reader_groups(fake_handle(context), buffer, length);
}

std::int32_t get_status_change(Handle context, std::uint32_t timeout_ms, ReaderState* states,
                               std::uint32_t count) {
    return FakePcsc::instance().get_status_change(fake_handle(context), timeout_ms, states, count);
}

std::int32_t connect(Handle context, const char* reader_name, std::uint32_t share_mode,
                     std::uint32_t preferred_protocols, Handle& card,
                     std::uint32_t& active_protocol) {
    std::int32_t fake = fake_handle(card);
    const std::int32_t status = FakePcsc::instance().connect(
        fake_handle(context), reader_name, share_mode, preferred_protocols, fake, active_protocol);
    card = service_value(fake);
    return status;
}

std::int32_t reconnect(Handle card, std::uint32_t share_mode, std::uint32_t preferred_protocols,
                       std::uint32_t initialization, std::uint32_t& active_protocol) {
    return FakePcsc::instance().reconnect(fake_handle(card), share_mode, preferred_protocols,
                                          initialization, active_protocol);
}

std::int32_t disconnect(Handle card, std::uint32_t disposition) {
    return FakePcsc::instance().disconnect(fake_handle(card), disposition);
}

std::int32_t begin_transaction(Handle card) {
    return FakePcsc::instance().begin_transaction(fake_handle(card));
}

std::int32_t end_transaction(Handle card, std::uint32_t disposition) {
    return FakePcsc::instance().end_transaction(fake_handle(card), disposition);
}

std::int32_t status(Handle card, char* reader_name, std::uint32_t& reader_name_length,
                    std::uint32_t& state, std::uint32_t& protocol, std::uint8_t* atr,
                    std::uint32_t& atr_length) {
    return FakePcsc::instance().status(fake_handle(card), reader_name, reader_name_length, state,
                                       protocol, atr, atr_length);
}

std::int32_t transmit(Handle card, ProtocolRecord record, const std::uint8_t* command,
                      std::uint32_t command_length, std::uint8_t* response,
                      std::uint32_t& response_length) {
    return FakePcsc::instance().transmit(fake_handle(card), record, command, command_length,
                                         response, response_length);
}

std::int32_t control(Handle card, std::uint32_t control_code, const std::uint8_t* input,
                     std::uint32_t input_length, std::uint8_t* output, std::uint32_t output_size,
                     std::uint32_t& bytes_returned) {
    return FakePcsc::instance().control(fake_handle(card), control_code, input, input_length,
                                        output, output_size, bytes_returned);
}

std::int32_t set_attrib(Handle card, std::uint32_t attribute_id, const std::uint8_t* value,
                        std::uint32_t length) {
    return FakePcsc::instance().set_attrib(fake_handle(card), attribute_id, value, length);
}

std::int32_t get_attrib(Handle card, std::uint32_t attribute_id, std::uint8_t* buffer,
                        std::uint32_t& length) {
    return FakePcsc::instance().get_attrib(fake_handle(card), attribute_id, buffer, length);
}

}  // namespace Vorn_SCard_Bridge::pcsc
