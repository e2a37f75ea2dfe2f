#include "platform/nonblocking_output.h"

namespace Vorn_SCard_Bridge::platform {

// Anonymous pipes only block on Windows: the sender thread writes everything.
bool make_output_nonblocking(int) { return false; }

}  // namespace Vorn_SCard_Bridge::platform
