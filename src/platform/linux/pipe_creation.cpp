#include <fcntl.h>
#include <unistd.h>

#include "platform/child_process.h"

namespace Vorn_SCard_Bridge::platform {

// Not inherited even by a child another thread starts at the same moment.
bool make_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

}  // namespace Vorn_SCard_Bridge::platform
