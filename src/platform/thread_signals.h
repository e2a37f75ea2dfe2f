#pragma once

// Signals a thread keeps from itself. One implementation per system (posix/,
// windows/), chosen in CMake.

namespace Vorn_SCard_Bridge::platform {

// A write to a pipe whose reader has gone then fails with EPIPE in this thread
// instead of raising SIGPIPE, which would end the process: for the threads that
// write the log to standard error, which may be written before the host ignores
// SIGPIPE for good (its first line) and which the browser may close. Nothing where
// there is no such signal.
void keep_broken_pipe_from_this_thread();

}  // namespace Vorn_SCard_Bridge::platform
