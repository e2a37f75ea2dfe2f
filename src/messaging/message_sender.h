#pragma once

#include <nlohmann/json.hpp>

namespace Vorn_SCard_Bridge {

// Queues a finished response for the sender thread. Throws when the message is
// not an object or its "requestId" is not a string.
void add_message_to_send_queue(const nlohmann::json& message);
void add_message_to_send_queue(nlohmann::json&& message);

// Body of the sender thread: writes queued responses as frames on standard
// output until the queue is shut down.
void send_message();

// The same, writing to `fd` (tests).
void send_message_to(int fd);

}  // namespace Vorn_SCard_Bridge
