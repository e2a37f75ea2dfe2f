#include "platform/fd_writes.h"

#include <limits.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

bool write_all(int fd, std::string_view data, int timeout_ms) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
        if (wrote >= 0) {
            done += static_cast<std::size_t>(wrote);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // A non-blocking descriptor that is full: the data is never left half
        // written, we wait for the reader.
        const int ready = wait_writable(fd, timeout_ms);
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

}  // namespace Vorn_SCard_Bridge::platform
