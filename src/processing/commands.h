#pragma once

// The command branches of the dispatcher, one family per file:
// host_commands.cpp, context_commands.cpp, reader_commands.cpp,
// card_commands.cpp, data_commands.cpp.

#include <string>
#include <vector>

#include "processing/command_call.h"

namespace Vorn_SCard_Bridge {

// The branch for a command text, or nullptr for an unsupported command.
CommandHandler find_command(const std::string& command);

// When the host may run a command. AT_ONCE: on the thread that read it (it needs
// nothing from the service). CONTROL: at once, beside any other work (it never
// waits for the service to finish something else). CONTEXT and CARD: in
// turn with the other calls on the same context, the one at index 0 of "params"
// or the one the card at index 1 was connected through. ANY: whenever a worker is
// free (also every command whose handle is not one the host holds).
enum class CommandLane { AT_ONCE, CONTROL, CONTEXT, CARD, ANY };
CommandLane find_command_lane(const std::string& command);

// What the session needs to know of a command: its lane, whether it is a
// status-change wait (which a cancel ends) and whether it is the cancel.
struct CommandTraits {
    CommandLane lane = CommandLane::ANY;
    bool waits = false;
    bool cancels = false;
};
CommandTraits find_command_traits(const std::string& command);

// True for a "get_status_change" with more reader records than the service waits
// on: it is refused without waiting for its context, before its records are copied.
bool exceeds_wait_records(const std::string& command, const nlohmann::json& params);

std::vector<std::string> handle_healthcheck();

nlohmann::json run_healthcheck(const CommandCall& call);
nlohmann::json run_get_version(const CommandCall& call);

nlohmann::json run_establish_context(const CommandCall& call);
nlohmann::json run_release_context(const CommandCall& call);
nlohmann::json run_is_valid_context(const CommandCall& call);
nlohmann::json run_cancel(const CommandCall& call);

nlohmann::json run_list_readers(const CommandCall& call);
nlohmann::json run_list_reader_groups(const CommandCall& call);
nlohmann::json run_get_status_change(const CommandCall& call);
nlohmann::json run_introduce_reader(const CommandCall& call);
nlohmann::json run_get_device_type_id(const CommandCall& call);
nlohmann::json run_get_reader_icon(const CommandCall& call);
nlohmann::json run_get_transmit_count(const CommandCall& call);

nlohmann::json run_connect(const CommandCall& call);
nlohmann::json run_reconnect(const CommandCall& call);
nlohmann::json run_disconnect(const CommandCall& call);
nlohmann::json run_begin_transaction(const CommandCall& call);
nlohmann::json run_end_transaction(const CommandCall& call);
nlohmann::json run_status(const CommandCall& call);

nlohmann::json run_transmit(const CommandCall& call);
nlohmann::json run_control(const CommandCall& call);
nlohmann::json run_get_attrib(const CommandCall& call);

}  // namespace Vorn_SCard_Bridge
