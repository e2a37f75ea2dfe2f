#include "platform/wait_writable.h"

#include <cerrno>

namespace Vorn_SCard_Bridge::platform {

// Our pipes and files are blocking on Windows: a write waits by itself and never
// answers EAGAIN, so there is nothing to wait for here.
int wait_writable(int, int) {
    errno = EIO;
    return -1;
}

}  // namespace Vorn_SCard_Bridge::platform
