#include <grp.h>
#include <mach-o/dyld.h>

#include <climits>
#include <cstdint>

#include "this_system.h"
#include "this_system_posix.h"

namespace Vorn_SCard_Bridge::installer::this_system {

namespace fs = std::filesystem;

Os os() { return Os::MACOS; }

fs::path own_executable() {
    char buffer[PATH_MAX];
    uint32_t size = sizeof buffer;
    if (_NSGetExecutablePath(buffer, &size) == 0) {
        std::error_code ec;
        auto resolved = fs::canonical(buffer, ec);
        return ec ? fs::path(buffer) : resolved;
    }
    return {};
}

bool administrators_group(gid_t group) {
    // macOS's "admin" group owns /Applications and may use sudo.
    if (const struct group* admin = ::getgrnam("admin");
        admin != nullptr && admin->gr_gid == group) {
        return true;
    }
    return group == 0;
}

SmartCardService smart_card_service() {
    SmartCardService service;
    // macOS's smart-card service has no socket of its own to look at: the probe
    // through PC/SC says whether it answers.
    service.fix = "Restart the Mac.";
    return service;
}

}  // namespace Vorn_SCard_Bridge::installer::this_system
