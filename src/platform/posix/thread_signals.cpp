#include "platform/thread_signals.h"

#include <pthread.h>
#include <signal.h>

namespace Vorn_SCard_Bridge::platform {

// SIGPIPE of a failed write goes to the thread that wrote: blocked there, it stays
// pending and the write reports EPIPE.
void keep_broken_pipe_from_this_thread() {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
}

}  // namespace Vorn_SCard_Bridge::platform
