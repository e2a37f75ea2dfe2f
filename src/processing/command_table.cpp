#include <unordered_map>

#include "processing/commands.h"

namespace Vorn_SCard_Bridge {

namespace {

struct CommandEntry {
    CommandHandler handler;
    CommandTraits traits;
};

const CommandEntry* find_entry(const std::string& command) {
    using enum CommandLane;
    constexpr CommandTraits WAITS{CONTEXT, true, false};
    constexpr CommandTraits CANCELS{CONTROL, false, true};
    // Whole, case-sensitive names; a "_unicode" form runs its plain command's branch.
    static const std::unordered_map<std::string, CommandEntry> table = {
        {"healthcheck", {run_healthcheck, {AT_ONCE}}},
        {"establish_context", {run_establish_context, {ANY}}},
        {"release_context", {run_release_context, {CONTEXT}}},
        {"list_readers", {run_list_readers, {CONTEXT}}},
        {"list_readers_unicode", {run_list_readers, {CONTEXT}}},
        {"list_reader_groups", {run_list_reader_groups, {CONTEXT}}},
        {"list_reader_groups_unicode", {run_list_reader_groups, {CONTEXT}}},
        {"introduce_reader", {run_introduce_reader, {ANY}}},
        {"introduce_reader_unicode", {run_introduce_reader, {ANY}}},
        {"get_device_type_id", {run_get_device_type_id, {ANY}}},
        {"get_reader_icon", {run_get_reader_icon, {ANY}}},
        {"get_attrib", {run_get_attrib, {CARD}}},
        {"get_status_change", {run_get_status_change, WAITS}},
        {"connect", {run_connect, {CONTEXT}}},
        {"begin_transaction", {run_begin_transaction, {CARD}}},
        {"end_transaction", {run_end_transaction, {CARD}}},
        {"transmit", {run_transmit, {CARD}}},
        {"status", {run_status, {CARD}}},
        {"status_unicode", {run_status, {CARD}}},
        {"control", {run_control, {CARD}}},
        {"cancel", {run_cancel, CANCELS}},
        {"disconnect", {run_disconnect, {CARD}}},
        {"reconnect", {run_reconnect, {CARD}}},
        {"is_valid_context", {run_is_valid_context, {CONTROL}}},
        {"get_transmit_count", {run_get_transmit_count, {ANY}}},
        {"get_version", {run_get_version, {AT_ONCE}}},
    };
    const auto found = table.find(command);
    return found == table.end() ? nullptr : &found->second;
}

}  // namespace

CommandHandler find_command(const std::string& command) {
    const CommandEntry* entry = find_entry(command);
    return entry == nullptr ? nullptr : entry->handler;
}

CommandTraits find_command_traits(const std::string& command) {
    const CommandEntry* entry = find_entry(command);
    return entry == nullptr ? CommandTraits{} : entry->traits;
}

CommandLane find_command_lane(const std::string& command) {
    return find_command_traits(command).lane;
}

}  // namespace Vorn_SCard_Bridge
