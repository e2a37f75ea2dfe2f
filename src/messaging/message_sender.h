#pragma once

#include <functional>
#include <nlohmann/json.hpp>

#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

// Queues a finished response for the sender thread. Throws when the message is
// not an object or its "requestId" is not a string.
void add_message_to_send_queue(const nlohmann::json& message);
void add_message_to_send_queue(nlohmann::json&& message);
// The same, with the budget share of its request, given back once it is written.
void add_message_to_send_queue(nlohmann::json&& message, RequestBudget::Token token);

// Body of the sender thread: writes queued responses as frames on standard
// output until the queue is shut down.
void send_message();

// The same, writing to `fd`. When a write fails the output is broken for good:
// `on_broken` runs once, and later responses are dropped.
void send_message_to(int fd, const std::function<void()>& on_broken = {});

}  // namespace Vorn_SCard_Bridge
