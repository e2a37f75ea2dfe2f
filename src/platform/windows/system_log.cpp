#include "platform/system_log.h"

namespace Vorn_SCard_Bridge::platform {

// Not yet the Event Log: the host's warnings go to its file and standard error.
std::shared_ptr<spdlog::sinks::sink> system_log_sink(const char*) { return nullptr; }

}  // namespace Vorn_SCard_Bridge::platform
