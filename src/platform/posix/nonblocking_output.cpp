#include "platform/nonblocking_output.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>

namespace Vorn_SCard_Bridge::platform {

bool make_output_nonblocking(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return false;
    if (S_ISREG(status.st_mode)) return true;
    if (!S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode)) return false;
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::size_t whole_write_size() { return PIPE_BUF; }

}  // namespace Vorn_SCard_Bridge::platform
