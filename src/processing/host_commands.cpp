#include "processing/commands.h"

namespace Vorn_SCard_Bridge {

namespace {
const char* const VERSION = "1.0.0";
}

std::vector<std::string> handle_healthcheck() { return {"OK"}; }

nlohmann::json run_healthcheck(const CommandCall& call) {
    call.debug("Executing healthcheck command");
    nlohmann::json result = handle_healthcheck();
    call.info("Healthcheck completed successfully");
    return result;
}

nlohmann::json run_get_version(const CommandCall& call) {
    call.debug("Executing get_version command");
    call.info(std::string("Version information retrieved (version: ") + VERSION + ")");
    return VERSION;
}

}  // namespace Vorn_SCard_Bridge
