#include "platform/wait_writable.h"

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

}  // namespace Vorn_SCard_Bridge::platform
