#pragma once

// The Windows registry as the installer uses it: the default value of a key such as
// "HKCU\Software\Google\Chrome\NativeMessagingHosts\com.vorn.scard_bridge", which
// names the manifest a browser reads. Keys start with HKCU\ or HKLM\; texts are UTF-8
// here and UTF-16 in the registry. HKLM keys are in both registry views (the browsers
// read the 32-bit one first): written to and removed from both, read as the browsers
// read them. One implementation per system (registry_<os>.cpp).

#include <memory>
#include <optional>
#include <string>

namespace Vorn_SCard_Bridge::installer {

class Registry {
public:
    virtual ~Registry() = default;
    // Creates the key if needed; throws std::runtime_error with the system's reason.
    virtual void set_default_value(const std::string& key, const std::string& value) = 0;
    // The value the browsers find (for HKLM: the 32-bit view's, else the 64-bit one's);
    // nullopt when the key or its default value is not there.
    virtual std::optional<std::string> default_value(const std::string& key) const = 0;
    // Removes the key (not its parents); false when it was not there (in either view).
    virtual bool remove_key(const std::string& key) = 0;
};

// This computer's registry; nullptr on a system without one.
std::unique_ptr<Registry> system_registry();

}  // namespace Vorn_SCard_Bridge::installer
