#include "platform/thread_signals.h"

namespace Vorn_SCard_Bridge::platform {

// A write to a closed pipe fails with an error on Windows; there is no signal.
void keep_broken_pipe_from_this_thread() {}

}  // namespace Vorn_SCard_Bridge::platform
