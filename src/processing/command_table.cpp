#include <unordered_map>

#include "processing/commands.h"

namespace Vorn_SCard_Bridge {

CommandHandler find_command(const std::string& command) {
    // Whole, case-sensitive names; a "_unicode" form runs its plain command's branch.
    static const std::unordered_map<std::string, CommandHandler> table = {
        {"healthcheck", run_healthcheck},
        {"establish_context", run_establish_context},
        {"release_context", run_release_context},
        {"list_readers", run_list_readers},
        {"list_readers_unicode", run_list_readers},
        {"list_reader_groups", run_list_reader_groups},
        {"list_reader_groups_unicode", run_list_reader_groups},
        {"introduce_reader", run_introduce_reader},
        {"introduce_reader_unicode", run_introduce_reader},
        {"get_device_type_id", run_get_device_type_id},
        {"get_reader_icon", run_get_reader_icon},
        {"get_attrib", run_get_attrib},
        {"get_status_change", run_get_status_change},
        {"connect", run_connect},
        {"begin_transaction", run_begin_transaction},
        {"end_transaction", run_end_transaction},
        {"transmit", run_transmit},
        {"status", run_status},
        {"status_unicode", run_status},
        {"control", run_control},
        {"cancel", run_cancel},
        {"disconnect", run_disconnect},
        {"reconnect", run_reconnect},
        {"is_valid_context", run_is_valid_context},
        {"get_transmit_count", run_get_transmit_count},
        {"get_version", run_get_version},
    };
    const auto found = table.find(command);
    return found == table.end() ? nullptr : found->second;
}

}  // namespace Vorn_SCard_Bridge
