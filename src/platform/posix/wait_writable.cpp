#include "platform/wait_writable.h"

#include <poll.h>

namespace Vorn_SCard_Bridge::platform {

int wait_writable(int fd, int timeout_ms) {
    pollfd out = {fd, POLLOUT, 0};
    const int ready = ::poll(&out, 1, timeout_ms);
    return ready > 0 ? 1 : ready;
}

}  // namespace Vorn_SCard_Bridge::platform
