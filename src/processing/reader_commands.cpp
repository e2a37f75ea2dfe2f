#include "processing/command_params.h"
#include "processing/commands.h"
#include "processing/reader_entries.h"
#include "scard/checked_call.h"
#include "scard/pcsc_service.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"

namespace Vorn_SCard_Bridge {

namespace {
constexpr std::size_t MAX_NAME_LENGTH = 256;
constexpr std::int32_t MAX_TOTAL_READERS = 100;
}  // namespace

namespace {

// Visits each complete reader entry, converted, in order.
template <typename Visit>
void for_each_reader_entry(const nlohmann::json& params, std::size_t first_index, Visit visit) {
    const CommandParams entries(params);
    for (std::size_t i = first_index; i + 2 < entries.count(); i += 3) {
        ReaderData reader;
        reader.current_state = entries.unsigned_number(i);
        reader.event_state = entries.unsigned_number(i + 1);
        reader.reader_name = entries.text(i + 2);
        visit(std::move(reader));
    }
}

}  // namespace

bool exceeds_wait_records(const std::string& command, const nlohmann::json& params) {
    const std::size_t count = CommandParams(params).count();
    return command == "get_status_change" && count > 3 &&
           (count - 3) / 3 > pcsc::MAX_READERS_PER_WAIT;
}

std::vector<ReaderData> extract_reader_data(const nlohmann::json& params, std::size_t first_index) {
    std::vector<ReaderData> readers;
    for_each_reader_entry(params, first_index,
                          [&](ReaderData reader) { readers.push_back(std::move(reader)); });
    return readers;
}

nlohmann::json run_list_readers(const CommandCall& call) {
    call.debug([&] { return "Executing " + call.command + " command"; });
    const CommandParams params(call.params);
    params.require_any("Missing context parameter");
    const std::string context_text = params.text(0);
    require_not_empty({&context_text}, "Empty context parameter");
    const std::int32_t context = from_hex(context_text);
    call.debug([&] { return "Listing readers for context: " + to_hex(context); });
    const ResultList result = handle_smartcard_list_readers(context);
    call.info("Readers listed successfully (count: " + std::to_string(result.size()) + ")");
    return result;
}

nlohmann::json run_list_readers_array(const CommandCall& call) {
    call.debug("Executing list_readers_array command");
    const CommandParams params(call.params);
    params.require_any("Missing context parameter");
    const std::string context_text = params.text(0);
    require_not_empty({&context_text}, "Empty context parameter");
    const std::int32_t context = from_hex(context_text);
    call.debug([&] { return "Listing readers for context: " + to_hex(context); });
    const ResultList result = handle_smartcard_list_readers_array(context);
    call.info("Readers listed successfully (count: " + std::to_string(result.size() - 1) + ")");
    return result;
}

nlohmann::json run_list_reader_groups(const CommandCall& call) {
    call.debug([&] { return "Executing " + call.command + " command"; });
    const CommandParams params(call.params);
    params.require_any("Missing context parameter  for " + call.command);
    const std::string context_text = params.text(0);
    require_not_empty({&context_text}, "Empty context parameter for " + call.command);
    const std::int32_t context = from_hex(context_text);
    call.debug([&] { return "Listing reader groups for context: " + to_hex(context); });
    nlohmann::json result = handle_smartcard_list_reader_groups(context);
    call.info("Reader groups listed successfully");
    return result;
}

nlohmann::json run_get_status_change(const CommandCall& call) {
    call.debug("Executing get_status_change command");
    const CommandParams params(call.params);
    params.require_at_least(3, "Insufficient parameters for get_status_change");
    const std::string context_text = params.text(0);
    const std::uint32_t timeout = params.unsigned_number(1);
    const std::int32_t total_readers = params.signed_number(2);
    require_not_empty({&context_text}, "Empty context parameter");
    if (total_readers < 0 || total_readers > MAX_TOTAL_READERS) {
        throw std::runtime_error("Invalid total_readers value: " + std::to_string(total_readers));
    }
    const std::int32_t context = from_hex(context_text);
    const std::string wait = "(timeout: " + std::to_string(timeout) +
                             "ms, readers: " + std::to_string(total_readers) + ")";
    call.debug([&] { return "Getting status change " + wait; });
    // The service refuses more records than it waits on: refused here, before a page's
    // thousands of records are copied, once each has been converted (a type error in
    // one of them still comes first, as it would from the copy).
    if (exceeds_wait_records(call.command, call.params)) {
        for_each_reader_entry(call.params, 3, [](const ReaderData&) {});
        raise_scard_error("handle_smartcard_get_status_change", pcsc::E_INVALID_PARAMETER);
    }
    const std::vector<ReaderData> readers = extract_reader_data(call.params, 3);
    nlohmann::json result =
        handle_smartcard_get_status_change(context, timeout, total_readers, readers);
    call.info("Status change completed " + wait);
    return result;
}

nlohmann::json run_introduce_reader(const CommandCall& call) {
    call.debug([&] { return "Executing " + call.command + " command"; });
    const CommandParams params(call.params);
    params.require_at_least(3, "Insufficient parameters for introduce_reader");
    const std::string context_text = params.text(0);
    const std::string reader_name = params.text(1);
    const std::string device_name = params.text(2);
    require_not_empty({&context_text, &reader_name, &device_name},
                      "Empty parameter(s) for introduce_reader");
    require_at_most(reader_name, MAX_NAME_LENGTH, "Reader/device name exceeds maximum length");
    require_at_most(device_name, MAX_NAME_LENGTH, "Reader/device name exceeds maximum length");
    const std::int32_t context = from_hex(context_text);
    call.debug([&] {
        return "Introducing reader '" + reader_name + "' with device '" + device_name + "'";
    });
    nlohmann::json result = handle_smartcard_introduce_reader(context, reader_name, device_name);
    call.info("Reader introduced successfully (reader: " + reader_name +
              ", device: " + device_name + ")");
    return result;
}

nlohmann::json run_get_device_type_id(const CommandCall& call) {
    call.debug("Executing get_device_type_id command");
    const CommandParams params(call.params);
    params.require_at_least(2, "Insufficient parameters for get_device_type_id");
    const std::string context_text = params.text(0);
    const std::string reader_name = params.text(1);
    require_not_empty({&context_text, &reader_name}, "Empty parameter(s) for get_device_type_id");
    require_at_most(reader_name, MAX_NAME_LENGTH,
                    "Reader name exceeds maximum length for get_device_type_id");
    const std::int32_t context = from_hex(context_text);
    call.debug([&] { return "Getting device type for reader: " + reader_name; });
    nlohmann::json result = handle_smartcard_get_device_type(context, reader_name);
    call.info("Device type retrieved successfully (reader: " + reader_name + ")");
    return result;
}

nlohmann::json run_get_reader_icon(const CommandCall& call) {
    call.debug("Executing get_reader_icon command");
    const CommandParams params(call.params);
    params.require_at_least(2, "Insufficient parameters for get_reader_icon");
    const std::string context_text = params.text(0);
    const std::string reader_name = params.text(1);
    require_not_empty({&context_text, &reader_name}, "Empty parameter(s) for get_reader_icon");
    require_at_most(reader_name, MAX_NAME_LENGTH, "Reader name exceeds maximum length");
    const std::int32_t context = from_hex(context_text);
    call.debug([&] { return "Getting reader icon for: " + reader_name; });
    nlohmann::json result = handle_smartcard_get_reader_icon(context, reader_name);
    call.info("Reader icon retrieved successfully (reader: " + reader_name + ")");
    return result;
}

nlohmann::json run_get_transmit_count(const CommandCall& call) {
    call.debug("Executing get_transmit_count command");
    const CommandParams params(call.params);
    params.require_any("Missing context parameter for get_transmit_count");
    const std::string context_text = params.text(0);
    require_not_empty({&context_text}, "Empty context parameter for get_transmit_count");
    const std::int32_t context = from_hex(context_text);
    const std::string context_hex = to_hex(context);
    call.debug([&] { return "Getting transmit count for context: " + context_hex; });
    nlohmann::json result = handle_smartcard_get_transmit_count(context);
    call.info("Transmit count retrieved (context: " + context_hex + ")");
    return result;
}

}  // namespace Vorn_SCard_Bridge
