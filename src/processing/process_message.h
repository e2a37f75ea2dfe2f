#pragma once

#include <nlohmann/json.hpp>

namespace Vorn_SCard_Bridge {

// Checks one request, runs its command and queues exactly one response for it
// (none when the envelope is unusable).
void process_message(nlohmann::json message);

}  // namespace Vorn_SCard_Bridge
