#include <fcntl.h>
#include <unistd.h>

#include "platform/child_process.h"

namespace Vorn_SCard_Bridge::platform {

// macOS has no pipe2: the ends are marked close-on-exec right after they are made. A
// child that another thread starts in between would inherit them; the programs that
// start children (the installer, talk, the demo) start them from one thread.
bool make_pipe(int fds[2]) {
    if (::pipe(fds) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        if (::fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return false;
        }
    }
    return true;
}

}  // namespace Vorn_SCard_Bridge::platform
