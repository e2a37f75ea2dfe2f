#include "processing/command_params.h"
#include "processing/commands.h"
#include "scard/smartcard_operations.h"
#include "support/codecs.h"

namespace Vorn_SCard_Bridge {

namespace {

struct ContextCommand {
    const char* missing_message;
    const char* empty_message;
    const char* before_call;  // followed by the context
    ResultList (*operation)(const std::int32_t&);
    std::string (*success)(const std::string& context_hex);
};

nlohmann::json run_context_command(const CommandCall& call, const ContextCommand& command) {
    call.debug([&] { return "Executing " + call.command + " command"; });
    const CommandParams params(call.params);
    params.require_any(command.missing_message);
    const std::string context_text = params.text(0);
    require_not_empty({&context_text}, command.empty_message);
    const std::int32_t context = from_hex(context_text);
    const std::string context_hex = to_hex(context);
    call.debug([&] { return command.before_call + context_hex; });
    nlohmann::json result = command.operation(context);
    call.info(command.success(context_hex));
    return result;
}

}  // namespace

nlohmann::json run_establish_context(const CommandCall& call) {
    call.debug("Executing establish_context command");
    std::int32_t context = 0;
    nlohmann::json result = handle_smartcard_establish_context(context, 0);
    call.info("Context established successfully (context: " + to_hex(context) + ")");
    return result;
}

nlohmann::json run_release_context(const CommandCall& call) {
    static const ContextCommand command{
        "Missing context parameter", "Empty context parameter",
        "Releasing context: ", handle_smartcard_release_context,
        [](const std::string&) { return std::string("Context released successfully"); }};
    return run_context_command(call, command);
}

nlohmann::json run_is_valid_context(const CommandCall& call) {
    static const ContextCommand command{
        "Missing context parameter for is_valid_context",
        "Empty context parameter for is_valid_context",
        "Validating context: ", handle_smartcard_is_valid_context, [](const std::string& hex) {
            return "Context validation completed (context: " + hex + ")";
        }};
    return run_context_command(call, command);
}

nlohmann::json run_cancel(const CommandCall& call) {
    static const ContextCommand command{
        "Missing context parameter for cancel", "Empty context parameter for cancel",
        "Canceling operations for context: ", handle_smartcard_cancel, [](const std::string& hex) {
            return "Operations canceled successfully (context: " + hex + ")";
        }};
    return run_context_command(call, command);
}

}  // namespace Vorn_SCard_Bridge
