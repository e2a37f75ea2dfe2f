#include "platform/wait_writable.h"

#include <limits.h>
#include <poll.h>
#include <sys/uio.h>

#include <algorithm>

namespace Vorn_SCard_Bridge::platform {

int wait_writable(int fd, int timeout_ms) {
    pollfd out = {fd, POLLOUT, 0};
    const int ready = ::poll(&out, 1, timeout_ms);
    return ready > 0 ? 1 : ready;
}

long write_pieces(int fd, const std::string_view* pieces, std::size_t count) {
    // IOV_MAX is 1024 on Linux and macOS; fewer keep the array on the stack.
    constexpr std::size_t MAX_PIECES = 64;
    static_assert(MAX_PIECES <= IOV_MAX);
    iovec vectors[MAX_PIECES];
    const std::size_t used = std::min(count, MAX_PIECES);
    for (std::size_t i = 0; i < used; ++i) {
        vectors[i].iov_base = const_cast<char*>(pieces[i].data());
        vectors[i].iov_len = pieces[i].size();
    }
    return ::writev(fd, vectors, static_cast<int>(used));
}

}  // namespace Vorn_SCard_Bridge::platform
