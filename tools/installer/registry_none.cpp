#include "registry.h"

namespace Vorn_SCard_Bridge::installer {

// Linux and macOS: browsers find manifests by their folders alone.
std::unique_ptr<Registry> system_registry() { return nullptr; }

}  // namespace Vorn_SCard_Bridge::installer
