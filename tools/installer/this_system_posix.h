#pragma once

// What the POSIX systems' files of this_system share, and what each answers its own
// way beside this_system.h (this_system_linux.cpp, this_system_macos.cpp).

#include <sys/types.h>

namespace Vorn_SCard_Bridge::installer::this_system {

// Groups whose members may become root anyway: writing for them is no way up.
bool administrators_group(gid_t group);

}  // namespace Vorn_SCard_Bridge::installer::this_system
