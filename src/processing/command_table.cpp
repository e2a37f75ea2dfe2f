#include "processing/command_table.h"

#include <unordered_map>

#include "processing/command_args.h"
#include "scard/pcsc_service.h"
#include "scard/smartcard_operations.h"

namespace Vorn_SCard_Bridge {

namespace {

using enum CommandLane;
using json = nlohmann::json;

const char* const VERSION = "1.0.0";
constexpr std::int64_t MAX_NAME_LENGTH = 256;
constexpr std::int64_t MAX_DATA_LENGTH = 131072;

constexpr ParamSpec CONTEXT_HANDLE{ParamKind::CONTEXT};
constexpr ParamSpec CARD_HANDLE{ParamKind::CARD};
constexpr ParamSpec NUMBER{ParamKind::NUMBER};
constexpr ParamSpec DATA{ParamKind::DATA};
constexpr ParamSpec name_of_at_most_256(const char* refusal) {
    return {ParamKind::NAME, 0, MAX_NAME_LENGTH, refusal};
}
constexpr ParamSpec data_of_at_most_131072(const char* refusal) {
    return {ParamKind::DATA, 0, MAX_DATA_LENGTH, refusal};
}

const char* const INSUFFICIENT = "Insufficient parameters for {name}";
const char* const EMPTY = "Empty parameter(s) for {name}";
const char* const MISSING_CONTEXT = "Missing context parameter";
const char* const EMPTY_CONTEXT = "Empty context parameter";
const char* const MISSING_CONTEXT_FOR = "Missing context parameter for {name}";
const char* const EMPTY_CONTEXT_FOR = "Empty context parameter for {name}";

// In the order of the README's list. A "_unicode" form runs its plain command's row.
const std::vector<CommandRow>& rows() {
    static const std::vector<CommandRow> table = {
        {.name = "healthcheck",
         .lane = AT_ONCE,
         .after = "Healthcheck completed successfully",
         .call = [](const CommandArgs&) { return json::array({"OK"}); }},
        {.name = "get_version",
         .lane = AT_ONCE,
         .after = "Version information retrieved (version: {result})",
         .call = [](const CommandArgs&) { return json(VERSION); }},
        {.name = "establish_context",
         .after = "Context established successfully (context: {result.1})",
         .call = [](const CommandArgs&) -> json {
             std::int32_t context = 0;
             return handle_smartcard_establish_context(context, pcsc::SCOPE_USER);
         }},
        {.name = "release_context",
         .lane = CONTEXT,
         .params = {CONTEXT_HANDLE},
         .too_few = MISSING_CONTEXT,
         .empty = EMPTY_CONTEXT,
         .before = {"Releasing context: {0}"},
         .after = "Context released successfully",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_release_context(a.handle(0));
         }},
        {.name = "is_valid_context",
         .lane = CONTROL,
         .params = {CONTEXT_HANDLE},
         .too_few = MISSING_CONTEXT_FOR,
         .empty = EMPTY_CONTEXT_FOR,
         .before = {"Validating context: {0}"},
         .after = "Context validation completed (context: {0})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_is_valid_context(a.handle(0));
         }},
        {.name = "cancel",
         .lane = CONTROL,
         .params = {CONTEXT_HANDLE},
         .too_few = MISSING_CONTEXT_FOR,
         .empty = EMPTY_CONTEXT_FOR,
         .before = {"Canceling operations for context: {0}"},
         .after = "Operations canceled successfully (context: {0})",
         .call = [](const CommandArgs& a) -> json { return handle_smartcard_cancel(a.handle(0)); },
         .cancels = true},
        {.name = "list_readers",
         .lane = CONTEXT,
         .params = {CONTEXT_HANDLE},
         .too_few = MISSING_CONTEXT,
         .empty = EMPTY_CONTEXT,
         .before = {"Listing readers for context: {0}"},
         .after = "Readers listed successfully (count: {result.size})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_list_readers(a.handle(0));
         },
         .unicode_form = true},
        {.name = "list_readers_array",
         .lane = CONTEXT,
         .params = {CONTEXT_HANDLE},
         .too_few = MISSING_CONTEXT,
         .empty = EMPTY_CONTEXT,
         .before = {"Listing readers for context: {0}"},
         .after = "Readers listed successfully (count: {result.names})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_list_readers_array(a.handle(0));
         }},
        {.name = "list_reader_groups",
         .lane = CONTEXT,
         .params = {CONTEXT_HANDLE},
         .too_few = "Missing context parameter  for {command}",
         .empty = "Empty context parameter for {command}",
         .before = {"Listing reader groups for context: {0}"},
         .after = "Reader groups listed successfully",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_list_reader_groups(a.handle(0));
         },
         .unicode_form = true},
        {.name = "get_status_change",
         .lane = CONTEXT,
         .params = {CONTEXT_HANDLE,
                    NUMBER,
                    {ParamKind::SIGNED, 0, 100, "Invalid total_readers value: {value}"},
                    {ParamKind::READERS, 0, pcsc::MAX_READERS_PER_WAIT}},
         .too_few = INSUFFICIENT,
         .empty = EMPTY_CONTEXT,
         .before = {"Getting status change (timeout: {1}ms, readers: {2})"},
         .after = "Status change completed (timeout: {1}ms, readers: {2})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_get_status_change(a.handle(0), a.number(1), a.signed_number(2),
                                                       a.readers());
         },
         .waits = true},
        {.name = "connect",
         .lane = CONTEXT,
         .params = {CONTEXT_HANDLE,
                    name_of_at_most_256("Reader name exceeds maximum length"),
                    {ParamKind::NUMBER, 0, 3, "Invalid share_mode value: {value}"},
                    NUMBER},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Connecting to reader '{1}' (share_mode: {2}, protocol: {3})"},
         .after = "Connected to reader successfully (reader: {1}, share_mode: {2}, protocol: {3})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_connect(a.handle(0), a.text(1), a.number(2), a.number(3));
         },
         .logs_too_few = true},
        {.name = "reconnect",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE, NUMBER, NUMBER, NUMBER},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Reconnecting to card: {1} (share_mode: {2}, protocol: {3}, initialization: "
                    "{4})"},
         .after = "Reconnected to card successfully (card: {1}, share_mode: {2}, protocol: {3})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_reconnect(a.handle(0), a.handle(1), a.number(2), a.number(3),
                                               a.number(4));
         }},
        {.name = "disconnect",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE, NUMBER},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Disconnecting from card: {1} (disposition: {2})"},
         .after = "Disconnected from card successfully (card: {1}, disposition: {2})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_disconnect(a.handle(0), a.handle(1), a.number(2));
         }},
        {.name = "begin_transaction",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Beginning transaction for card: {1}"},
         .after = "Transaction begun successfully (card: {1})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_begin_transaction(a.handle(0), a.handle(1));
         }},
        {.name = "end_transaction",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE, NUMBER},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Ending transaction for card: {1} (disposition: {2})"},
         .after = "Transaction ended successfully (card: {1}, disposition: {2})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_end_transaction(a.handle(0), a.handle(1), a.number(2));
         }},
        {.name = "status",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Getting status for card: {1}"},
         .after = "Card status retrieved successfully (card: {1})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_status(a.handle(0), a.handle(1));
         },
         .unicode_form = true},
        {.name = "transmit",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE, NUMBER,
                    data_of_at_most_131072(
                        "Transmit data exceeds maximum size. Data was {value} characters")},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Transmitting data to card: {1} (protocol: {2}, data_length: {3.length} "
                    "chars)",
                    "Transmit data preview: {3.preview}"},
         .after = "Data transmitted successfully (card: {1}, protocol: {2}, data_length: "
                  "{3.length})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_transmit(a.handle(0), a.handle(1), a.number(2), a.text(3));
         }},
        {.name = "control",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE, NUMBER,
                    data_of_at_most_131072(
                        "Control data exceeds maximum size. Data was {value} characters")},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Sending control command to card: {1} (control_code: {2}, data_length: "
                    "{3.length})"},
         .after = "Control command executed successfully (card: {1}, control_code: {2})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_control(a.handle(0), a.handle(1), a.number(2), a.text(3));
         }},
        {.name = "get_attrib",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE, NUMBER},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Getting attribute {2} for card: {1}"},
         .after = "Attribute retrieved successfully (attribute_id: {2})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_get_attrib(a.handle(0), a.handle(1), a.number(2));
         }},
        {.name = "set_attrib",
         .lane = CARD,
         .params = {CONTEXT_HANDLE, CARD_HANDLE, NUMBER, DATA},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Setting attribute {2} for card: {1} (value_length: {3.length} chars)"},
         .after = "Attribute set successfully (attribute_id: {2})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_set_attrib(a.handle(0), a.handle(1), a.number(2), a.text(3));
         }},
        {.name = "introduce_reader",
         .params = {CONTEXT_HANDLE,
                    name_of_at_most_256("Reader/device name exceeds maximum length"),
                    name_of_at_most_256("Reader/device name exceeds maximum length")},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Introducing reader '{1}' with device '{2}'"},
         .after = "Reader introduced successfully (reader: {1}, device: {2})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_introduce_reader(a.handle(0), a.text(1), a.text(2));
         },
         .unicode_form = true},
        {.name = "get_device_type_id",
         .params = {CONTEXT_HANDLE,
                    name_of_at_most_256(
                        "Reader name exceeds maximum length for get_device_type_id")},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Getting device type for reader: {1}"},
         .after = "Device type retrieved successfully (reader: {1})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_get_device_type(a.handle(0), a.text(1));
         }},
        {.name = "get_reader_icon",
         .params = {CONTEXT_HANDLE, name_of_at_most_256("Reader name exceeds maximum length")},
         .too_few = INSUFFICIENT,
         .empty = EMPTY,
         .before = {"Getting reader icon for: {1}"},
         .after = "Reader icon retrieved successfully (reader: {1})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_get_reader_icon(a.handle(0), a.text(1));
         }},
        {.name = "get_transmit_count",
         .params = {CONTEXT_HANDLE},
         .too_few = MISSING_CONTEXT_FOR,
         .empty = EMPTY_CONTEXT_FOR,
         .before = {"Getting transmit count for context: {0}"},
         .after = "Transmit count retrieved (context: {0})",
         .call = [](const CommandArgs& a) -> json {
             return handle_smartcard_get_transmit_count(a.handle(0));
         }},
        // The end of the session: the host loop stops reading and shuts down in
        // order; one that reaches the dispatcher is not supported.
        {.name = "shutdown", .lane = AT_ONCE, .ends_session = true},
    };
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
    if (row.unicode_form) names.push_back(std::string(row.name) + "_unicode");
    return names;
}

const CommandRow* find_command(const std::string& command) { return find_row(command); }

CommandTraits find_command_traits(const std::string& command) {
    const CommandRow* row = find_row(command);
    return row == nullptr ? CommandTraits{} : CommandTraits{row->lane, row->waits, row->cancels};
}

CommandLane find_command_lane(const std::string& command) {
    return find_command_traits(command).lane;
}

bool ends_session(const std::string& command) {
    const CommandRow* row = find_row(command);
    return row != nullptr && row->ends_session;
}

bool exceeds_wait_records(const std::string& command, const json& params) {
    const CommandRow* row = find_row(command);
    if (row == nullptr || row->params.empty()) return false;
    const ParamSpec& last = row->params.back();
    const std::size_t first = row->params.size() - 1;
    const std::size_t count = params.size();
    return last.kind == ParamKind::READERS && count > first &&
           (count - first) / 3 > static_cast<std::size_t>(last.high);
}

}  // namespace Vorn_SCard_Bridge
