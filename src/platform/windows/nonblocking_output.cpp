#include "platform/nonblocking_output.h"

namespace Vorn_SCard_Bridge::platform {

// Anonymous pipes only block on Windows: the sender thread writes everything.
bool make_output_nonblocking(int) { return false; }

std::size_t whole_write_size() { return 0; }

}  // namespace Vorn_SCard_Bridge::platform
