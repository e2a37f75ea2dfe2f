#include <algorithm>
#include <string>
#include <vector>

#include "scard/checked_call.h"
#include "scard/pcsc_service.h"
#include "scard/session_hooks.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"
#include "support/reader_name_text.h"

namespace Vorn_SCard_Bridge {

namespace {

using ListCall = std::int32_t (*)(pcsc::Handle, char*, std::uint32_t&);

// Readers and groups are listed the same way: ask for the length, then fetch into a
// zero-filled buffer of exactly that length. A successful answer of length 0 is not a
// list at all (not even the terminating NUL), so it fails carrying the success status.
std::vector<char> list_names(std::string_view operation, ListCall call, std::int32_t context_id) {
    const pcsc::Handle context = context_handle(operation, context_id);
    std::uint32_t length = 0;
    const std::int32_t status = call(context, nullptr, length);
    if (status != pcsc::SUCCESS || length == 0) raise_scard_error(operation, status);

    std::vector<char> buffer(length, '\0');
    check_status(operation, call(context, buffer.data(), length));
    return buffer;
}

// The names as the extension sees them; bounded by the buffer: a list the service
// failed to double-NUL-terminate ends there.
std::vector<std::string> shown_names(const std::vector<char>& names) {
    std::vector<std::string> shown = split_multi_string(names.data(), names.size());
    for (std::string& name : shown) name = shown_reader_name(name);
    return shown;
}

ResultList comma_list(const std::vector<char>& names) {
    return {"0x00000000", comma_joined(shown_names(names))};
}

}  // namespace

ResultList handle_smartcard_list_readers(const std::int32_t& context) {
    require_valid_context("handle_smartcard_list_readers", context);
    return comma_list(list_names("handle_smartcard_list_readers", &pcsc::list_readers, context));
}

ResultList handle_smartcard_list_readers_array(const std::int32_t& context) {
    constexpr std::string_view OPERATION = "handle_smartcard_list_readers_array";
    require_valid_context(OPERATION, context);
    const std::vector<char> names = list_names(OPERATION, &pcsc::list_readers, context);
    ResultList result{"0x00000000"};
    for (std::string& name : shown_names(names)) result.push_back(std::move(name));
    return result;
}

// Unlike list_readers, the context is not validated first: the service reports it.
ResultList handle_smartcard_list_reader_groups(const std::int32_t& context) {
    return comma_list(
        list_names("handle_smartcard_list_reader_groups", &pcsc::list_reader_groups, context));
}

// total_readers is the dispatcher's business (it checks the range); the service is always
// given the number of records actually built.
ResultList handle_smartcard_get_status_change(const std::int32_t& context,
                                              const std::uint32_t& timeout,
                                              const std::int32_t& /*total_readers*/,
                                              const std::vector<ReaderData>& readers) {
    constexpr std::string_view OPERATION = "handle_smartcard_get_status_change";
    // The service refuses more records than it waits on, whatever the context.
    if (readers.size() > pcsc::MAX_READERS_PER_WAIT) {
        raise_scard_error(OPERATION, pcsc::E_INVALID_PARAMETER);
    }
    // pcsc-lite answers a wait on no readers before it looks at the context: so does
    // the host for an id it did not hand out, without passing that id on.
    if (readers.empty() && !service_handle(HandleKind::CONTEXT, context)) {
        return {"0x00000000", "0"};
    }
    const pcsc::Handle service_context = context_handle(OPERATION, context);
    std::vector<pcsc::ReaderState> states(readers.size());
    {
        // A cancel that arrived after this wait ends it even before it reaches the
        // service (reader names looked up included).
        const WaitScope wait;
        if (wait.cancelled()) raise_scard_error(OPERATION, pcsc::E_CANCELLED);
        // The records point into these names, which stay untouched during the wait.
        std::vector<std::string> service_names(readers.size());
        for (std::size_t i = 0; i < readers.size(); ++i) {
            service_names[i] = service_reader_name(readers[i].reader_name);
            states[i].reader_name = service_names[i].c_str();
            states[i].current_state = readers[i].current_state;
            states[i].event_state = readers[i].event_state;
        }
        check_status(OPERATION, pcsc::get_status_change(service_context, timeout, states.data(),
                                                        static_cast<std::uint32_t>(states.size())));
    }

    ResultList result{"0x00000000", std::to_string(states.size())};
    result.reserve(2 + 3 * states.size());
    for (const pcsc::ReaderState& state : states) {
        result.push_back(to_hex(static_cast<std::int32_t>(state.current_state)));
        result.push_back(to_hex(static_cast<std::int32_t>(state.event_state)));
        // Never trust a reported ATR length beyond the 33-byte field.
        const std::size_t atr_length = std::min<std::size_t>(state.atr_length, pcsc::MAX_ATR_SIZE);
        result.push_back(to_hex_string(state.atr.data(), atr_length));
    }
    return result;
}

}  // namespace Vorn_SCard_Bridge
