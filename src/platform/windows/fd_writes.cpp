#include "platform/fd_writes.h"

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace Vorn_SCard_Bridge::platform {

// Our pipes and files are blocking on Windows: a write waits by itself and never
// answers EAGAIN, so there is nothing to wait for here.
int wait_writable(int, int) {
    errno = EIO;
    return -1;
}

// No gathering write for C descriptors: the first piece alone.
long write_pieces(int fd, const std::string_view* pieces, std::size_t count) {
    if (count == 0) return 0;
    const auto size = static_cast<unsigned>(std::min<std::size_t>(pieces[0].size(), INT_MAX));
    return _write(fd, pieces[0].data(), size);
}

// A blocking write takes everything or fails; it is resumed after a partial write
// all the same. `timeout_ms` has nothing to bound here (see wait_writable).
bool write_all(int fd, std::string_view data, int) {
    std::size_t done = 0;
    while (done < data.size()) {
        const auto size = static_cast<unsigned>(std::min<std::size_t>(data.size() - done, INT_MAX));
        const int wrote = _write(fd, data.data() + done, size);
        if (wrote >= 0) {
            done += static_cast<std::size_t>(wrote);
            continue;
        }
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace Vorn_SCard_Bridge::platform
