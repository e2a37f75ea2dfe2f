#pragma once

// Every command the host knows, one row each: its name, when the host runs it,
// its parameters with their messages, its log lines and the operation it calls.
// The dispatcher, the session and the host loop ask this table; nothing else
// names a command.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

namespace Vorn_SCard_Bridge {

class CommandArgs;

// When the host may run a command. AT_ONCE: on the thread that read it (it needs
// nothing from the service). CONTROL: at once, beside any other work (it never
// waits for the service to finish something else). CONTEXT and CARD: in
// turn with the other calls on the same context, the one at index 0 of "params"
// or the one the card at index 1 was connected through. ANY: whenever a worker is
// free (also every command whose handle is not one the host holds).
enum class CommandLane { AT_ONCE, CONTROL, CONTEXT, CARD, ANY };

// What a parameter is, which says how it is read and checked.
enum class ParamKind {
    CONTEXT,  // a context handle: a text, not empty, converted from hexadecimal
    CARD,     // a card handle: likewise, converted after the context
    NUMBER,   // a 32-bit unsigned number (integers modulo 2^32), at most `high`
    SIGNED,   // a 32-bit signed number from `low` to `high`
    NAME,     // a reader's name as listed, not empty, at most `high` bytes of the
              // service's (support/reader_name_text.h)
    DATA,     // a text (hexadecimal bytes), may be empty, at most `high` bytes
    READERS,  // from here on (current state, event state, reader name) records, at most
              // `high` of them (more are the service's refusal); not counted
};

struct ParamDescriptor {
    ParamKind kind;
    std::int64_t low = 0;
    std::int64_t high = std::numeric_limits<std::int64_t>::max();
    // The refusal of a value beyond `low`..`high`; "{value}" is the value (a text's length).
    const char* out_of_range = nullptr;
};

// The operation of a row: the typed parameters in, the response's "result" out.
using CommandOperation = nlohmann::json (*)(const CommandArgs& args);

// What the host and the session need to know beyond the lane.
enum CommandFlag : unsigned {
    UNICODE_FORM = 1,  // "<name>_unicode" runs this row too
    WAITS = 2,         // a status-change wait, which a cancel ends
    CANCELS = 4,       // ends the waits of its context
    ENDS_SESSION = 8,
    LOGS_TOO_FEW = 16,  // the count refusal is also an error line of its own
};

// The refusals of a row: fewer parameters than it counts, an empty handle or name.
struct CountAndEmpty {
    const char* too_few;
    const char* empty;
};

// Texts of a row are templates: "{name}" is the row's name, "{command}" the
// command as sent (a "_unicode" form), "{value}" the refused value; log lines
// show parameter N as "{N}" (handles as "0x" and eight digits), a text's length
// as "{N.length}" and its start as "{N.preview}", and the result as "{result}",
// "{result.1}" (its entry 1), "{result.size}" and "{result.names}" (the entries
// after the status).
struct CommandRow {
    const char* name;
    CommandLane lane = CommandLane::ANY;
    std::vector<ParamDescriptor> params = {};
    CountAndEmpty refusals = {};
    std::vector<const char*> before = {};  // debug lines before the call
    const char* after = nullptr;           // the information line after it
    CommandOperation call = nullptr;  // none: the host loop acts on it, the dispatcher does not
    unsigned flags = 0;

    bool has(CommandFlag flag) const { return (flags & flag) != 0; }
};

std::span<const CommandRow> command_rows();
// The names a row answers to: its own, and its "_unicode" form if it has one.
std::vector<std::string> command_names(const CommandRow& row);

// The row for a command text (whole and case-sensitive), or nullptr.
const CommandRow* find_command(const std::string& command);

}  // namespace Vorn_SCard_Bridge
