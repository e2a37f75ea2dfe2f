#include "processing/command_table.h"

#include <type_traits>
#include <unordered_map>
#include <utility>

#include "processing/command_args.h"
#include "scard/pcsc_service.h"
#include "scard/smartcard_operations.h"

namespace Vorn_SCard_Bridge {

namespace {

using enum CommandLane;
using json = nlohmann::json;

const char* const VERSION = "1.0.0";
constexpr std::int64_t MAX_NAME_LENGTH = 256;
// What a control command's data may be; the operation takes less (handle_smartcard_control).
constexpr std::int64_t MAX_CONTROL_DATA_LENGTH = 131072;

// A row's call for an operation that takes the request's parameters, in their order.
template <auto Operation>
json operation(const CommandArgs& args) {
    return [&]<typename... Params>(ResultList (*call)(Params...)) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return result_of(call(args.value<std::remove_cvref_t<Params>>(I)...));
        }
        (std::index_sequence_for<Params...>{});
    }(Operation);
}

constexpr ParamDescriptor CONTEXT_HANDLE{ParamKind::CONTEXT};
constexpr ParamDescriptor CARD_HANDLE{ParamKind::CARD};
constexpr ParamDescriptor NUMBER{ParamKind::NUMBER};
constexpr ParamDescriptor BYTES{ParamKind::DATA};
constexpr ParamDescriptor READER_NAME{ParamKind::NAME, 0, MAX_NAME_LENGTH,
                                      "Reader name exceeds maximum length"};
constexpr ParamDescriptor INTRODUCED_NAME{ParamKind::NAME, 0, MAX_NAME_LENGTH,
                                          "Reader/device name exceeds maximum length"};
constexpr ParamDescriptor TYPED_READER_NAME{
    ParamKind::NAME, 0, MAX_NAME_LENGTH,
    "Reader name exceeds maximum length for get_device_type_id"};
constexpr ParamDescriptor SHARE_MODE{ParamKind::NUMBER, 0, 3, "Invalid share_mode value: {value}"};
constexpr ParamDescriptor TOTAL_READERS{ParamKind::SIGNED, 0, 100,
                                        "Invalid total_readers value: {value}"};
constexpr ParamDescriptor READER_RECORDS{ParamKind::READERS, 0, pcsc::MAX_READERS_PER_WAIT};
constexpr ParamDescriptor APDU{ParamKind::DATA, 0, MAX_TRANSMIT_HEX_LENGTH,
                               "Transmit data exceeds maximum size. Data was {value} characters"};
constexpr ParamDescriptor CONTROL_DATA{
    ParamKind::DATA, 0, MAX_CONTROL_DATA_LENGTH,
    "Control data exceeds maximum size. Data was {value} characters"};

// The count and emptiness refusals, as most commands word them.
constexpr CountAndEmpty FOR_NAME{"Insufficient parameters for {name}",
                                 "Empty parameter(s) for {name}"};
constexpr CountAndEmpty CONTEXT_ONLY{"Missing context parameter", "Empty context parameter"};
constexpr CountAndEmpty CONTEXT_FOR_NAME{"Missing context parameter for {name}",
                                         "Empty context parameter for {name}"};
constexpr CountAndEmpty STATUS_WAIT{FOR_NAME.too_few, CONTEXT_ONLY.empty};
constexpr CountAndEmpty GROUPS{"Missing context parameter  for {command}",
                               "Empty context parameter for {command}"};

json establish_context(const CommandArgs&) {
    std::int32_t context = 0;
    return result_of(handle_smartcard_establish_context(context, pcsc::SCOPE_USER));
}

// In the order of the README's list: name, lane, parameters, refusals, debug lines
// before the call, information line after it, the call, flags.
const std::vector<CommandRow>& rows() {
    // clang-format off
    static const std::vector<CommandRow> table = {
        {"healthcheck", AT_ONCE, {}, {}, {}, "Healthcheck completed successfully",
         [](const CommandArgs&) { return json::array({"OK"}); }},
        {"get_version", AT_ONCE, {}, {}, {}, "Version information retrieved (version: {result})",
         [](const CommandArgs&) { return json(VERSION); }},
        {"establish_context", ANY, {}, {}, {},
         "Context established successfully (context: {result.1})", establish_context},
        {"release_context", CONTEXT, {CONTEXT_HANDLE}, CONTEXT_ONLY,
         {"Releasing context: {0}"}, "Context released successfully",
         operation<handle_smartcard_release_context>},
        {"is_valid_context", CONTROL, {CONTEXT_HANDLE}, CONTEXT_FOR_NAME,
         {"Validating context: {0}"}, "Context validation completed (context: {0})",
         operation<handle_smartcard_is_valid_context>},
        {"cancel", CONTROL, {CONTEXT_HANDLE}, CONTEXT_FOR_NAME,
         {"Canceling operations for context: {0}"},
         "Operations canceled successfully (context: {0})",
         operation<handle_smartcard_cancel>, CANCELS},
        {"list_readers", CONTEXT, {CONTEXT_HANDLE}, CONTEXT_ONLY,
         {"Listing readers for context: {0}"},
         "Readers listed successfully (count: {result.size})",
         operation<handle_smartcard_list_readers>, UNICODE_FORM},
        {"list_readers_array", CONTEXT, {CONTEXT_HANDLE}, CONTEXT_ONLY,
         {"Listing readers for context: {0}"},
         "Readers listed successfully (count: {result.names})",
         operation<handle_smartcard_list_readers_array>},
        {"list_reader_groups", CONTEXT, {CONTEXT_HANDLE}, GROUPS,
         {"Listing reader groups for context: {0}"}, "Reader groups listed successfully",
         operation<handle_smartcard_list_reader_groups>, UNICODE_FORM},
        {"get_status_change", CONTEXT, {CONTEXT_HANDLE, NUMBER, TOTAL_READERS, READER_RECORDS},
         STATUS_WAIT,
         {"Getting status change (timeout: {1}ms, readers: {2})"},
         "Status change completed (timeout: {1}ms, readers: {2})",
         operation<handle_smartcard_get_status_change>, WAITS},
        {"connect", CONTEXT, {CONTEXT_HANDLE, READER_NAME, SHARE_MODE, NUMBER}, FOR_NAME,
         {"Connecting to reader '{1}' (share_mode: {2}, protocol: {3})"},
         "Connected to reader successfully (reader: {1}, share_mode: {2}, protocol: {3})",
         operation<handle_smartcard_connect>, LOGS_TOO_FEW},
        {"reconnect", CARD, {CONTEXT_HANDLE, CARD_HANDLE, NUMBER, NUMBER, NUMBER}, FOR_NAME,
         {"Reconnecting to card: {1} (share_mode: {2}, protocol: {3}, initialization: {4})"},
         "Reconnected to card successfully (card: {1}, share_mode: {2}, protocol: {3})",
         operation<handle_smartcard_reconnect>},
        {"disconnect", CARD, {CONTEXT_HANDLE, CARD_HANDLE, NUMBER}, FOR_NAME,
         {"Disconnecting from card: {1} (disposition: {2})"},
         "Disconnected from card successfully (card: {1}, disposition: {2})",
         operation<handle_smartcard_disconnect>},
        {"begin_transaction", CARD, {CONTEXT_HANDLE, CARD_HANDLE}, FOR_NAME,
         {"Beginning transaction for card: {1}"}, "Transaction begun successfully (card: {1})",
         operation<handle_smartcard_begin_transaction>},
        {"end_transaction", CARD, {CONTEXT_HANDLE, CARD_HANDLE, NUMBER}, FOR_NAME,
         {"Ending transaction for card: {1} (disposition: {2})"},
         "Transaction ended successfully (card: {1}, disposition: {2})",
         operation<handle_smartcard_end_transaction>},
        {"status", CARD, {CONTEXT_HANDLE, CARD_HANDLE}, FOR_NAME,
         {"Getting status for card: {1}"}, "Card status retrieved successfully (card: {1})",
         operation<handle_smartcard_status>, UNICODE_FORM},
        {"transmit", CARD, {CONTEXT_HANDLE, CARD_HANDLE, NUMBER, APDU}, FOR_NAME,
         {"Transmitting data to card: {1} (protocol: {2}, data_length: {3.length} chars)",
          "Transmit data preview: {3.preview}"},
         "Data transmitted successfully (card: {1}, protocol: {2}, data_length: {3.length})",
         operation<handle_smartcard_transmit>},
        {"control", CARD, {CONTEXT_HANDLE, CARD_HANDLE, NUMBER, CONTROL_DATA}, FOR_NAME,
         {"Sending control command to card: {1} (control_code: {2}, data_length: {3.length})"},
         "Control command executed successfully (card: {1}, control_code: {2})",
         operation<handle_smartcard_control>},
        {"get_attrib", CARD, {CONTEXT_HANDLE, CARD_HANDLE, NUMBER}, FOR_NAME,
         {"Getting attribute {2} for card: {1}"},
         "Attribute retrieved successfully (attribute_id: {2})",
         operation<handle_smartcard_get_attrib>},
        {"set_attrib", CARD, {CONTEXT_HANDLE, CARD_HANDLE, NUMBER, BYTES}, FOR_NAME,
         {"Setting attribute {2} for card: {1} (value_length: {3.length} chars)"},
         "Attribute set successfully (attribute_id: {2})", operation<handle_smartcard_set_attrib>},
        {"introduce_reader", ANY, {CONTEXT_HANDLE, INTRODUCED_NAME, INTRODUCED_NAME}, FOR_NAME,
         {"Introducing reader '{1}' with device '{2}'"},
         "Reader introduced successfully (reader: {1}, device: {2})",
         operation<handle_smartcard_introduce_reader>, UNICODE_FORM},
        {"get_device_type_id", ANY, {CONTEXT_HANDLE, TYPED_READER_NAME}, FOR_NAME,
         {"Getting device type for reader: {1}"},
         "Device type retrieved successfully (reader: {1})",
         operation<handle_smartcard_get_device_type>},
        {"get_reader_icon", ANY, {CONTEXT_HANDLE, READER_NAME}, FOR_NAME,
         {"Getting reader icon for: {1}"}, "Reader icon retrieved successfully (reader: {1})",
         operation<handle_smartcard_get_reader_icon>},
        {"get_transmit_count", ANY, {CONTEXT_HANDLE}, CONTEXT_FOR_NAME,
         {"Getting transmit count for context: {0}"}, "Transmit count retrieved (context: {0})",
         operation<handle_smartcard_get_transmit_count>},
        // The host loop ends the session on it; one that reaches the dispatcher is not supported.
        {"shutdown", AT_ONCE, {}, {}, {}, nullptr, nullptr, ENDS_SESSION},
    };
    // clang-format on
    return table;
}

const CommandRow* find_row(const std::string& command) {
    static const std::unordered_map<std::string, const CommandRow*> by_name = [] {
        std::unordered_map<std::string, const CommandRow*> names;
        for (const CommandRow& row : rows()) {
            for (std::string& name : command_names(row)) names.emplace(std::move(name), &row);
        }
        return names;
    }();
    const auto found = by_name.find(command);
    return found == by_name.end() ? nullptr : found->second;
}

}  // namespace

std::span<const CommandRow> command_rows() { return rows(); }

std::vector<std::string> command_names(const CommandRow& row) {
    std::vector<std::string> names{row.name};
    if (row.has(UNICODE_FORM)) names.push_back(std::string(row.name) + "_unicode");
    return names;
}

const CommandRow* find_command(const std::string& command) { return find_row(command); }

}  // namespace Vorn_SCard_Bridge
