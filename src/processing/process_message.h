#pragma once

#include <functional>
#include <nlohmann/json.hpp>

namespace Vorn_SCard_Bridge {

// Checks one request, runs its command and queues exactly one response for it
// (none when the envelope is unusable).
void process_message(nlohmann::json message);

// Where a finished response goes; add_message_to_send_queue by default.
using ResponseDelivery = std::function<void(nlohmann::json&& response)>;
void process_message(nlohmann::json message, const ResponseDelivery& deliver);

}  // namespace Vorn_SCard_Bridge
