#pragma once

// The system's log, as a sink for the Logger's warnings and errors. One
// implementation per system (posix/, windows/).

#include <memory>

namespace spdlog::sinks {
class sink;
}  // namespace spdlog::sinks

namespace Vorn_SCard_Bridge::platform {

// A sink into the system log under `ident`; null where the host has none.
std::shared_ptr<spdlog::sinks::sink> system_log_sink(const char* ident);

}  // namespace Vorn_SCard_Bridge::platform
