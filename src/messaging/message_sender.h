#pragma once

#include <functional>
#include <nlohmann/json.hpp>

#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

// Queues a finished response as its frame (frame_answer: never over the 1 MiB a
// browser takes); the JSON is freed at once. Throws when the message is not an
// object or its "requestId" is not a string. Once the output is shared
// (share_output), the thread that queued it writes it with write_ready_responses();
// else the sender thread is woken for it.
void add_message_to_send_queue(const nlohmann::json& message);
void add_message_to_send_queue(nlohmann::json&& message);
// The same, with the budget share of its request, given back once it is written.
void add_message_to_send_queue(nlohmann::json&& message, RequestBudget::Token token);

// Lets the threads that finish responses write them to `fd` themselves, without
// waking the sender thread (which must write to the same `fd`): a pipe or socket is
// made non-blocking for it. False (and nothing changed) when writes to `fd` could
// hold the writer (a terminal).
bool share_output(int fd);

// Writes what is queued on this thread, in queue order, when the shared output
// takes it at once; hands it to the sender thread when the output would make this
// thread wait, and leaves it to another thread that is writing. Does nothing while
// the output is not shared. Whoever queues a response calls it before it waits.
void write_ready_responses();

// Body of the sender thread: writes queued frames on standard output, several per
// system call and each freed once written, until the queue is shut down.
void send_message();

// The same, writing to `fd`. When a write fails (here or in write_ready_responses)
// the output is broken for the rest of this sender's run: `on_broken` runs once,
// and later responses are dropped. A new sender starts with a whole output.
void send_message_to(int fd, const std::function<void()>& on_broken = {});

}  // namespace Vorn_SCard_Bridge
