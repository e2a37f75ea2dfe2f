#include "platform/system_log.h"

#include <spdlog/sinks/syslog_sink.h>

namespace Vorn_SCard_Bridge::platform {

namespace {
constexpr int FACILITY_USER = 8;  // LOG_USER
}

std::shared_ptr<spdlog::sinks::sink> system_log_sink(const char* ident) {
    return std::make_shared<spdlog::sinks::syslog_sink_st>(ident, 0, FACILITY_USER, true);
}

}  // namespace Vorn_SCard_Bridge::platform
