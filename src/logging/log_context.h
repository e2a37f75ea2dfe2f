#pragma once

#include <string>
#include <thread>
#include <utility>

namespace Vorn_SCard_Bridge {

// Who is speaking: becomes the bracketed prefix of a log line. Owned and used by
// one thread; the owner may change the fields between lines.
struct LogContext {
    std::string component;
    std::string operation;
    std::string request_id;
    std::thread::id thread_id = std::this_thread::get_id();

    LogContext() = default;
    LogContext(std::string component_, std::string operation_, std::string request_id_)
        : component(std::move(component_)),
          operation(std::move(operation_)),
          request_id(std::move(request_id_)) {}
};

}  // namespace Vorn_SCard_Bridge
