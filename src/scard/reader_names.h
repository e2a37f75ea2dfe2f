#pragma once

// Reader names as the extension knows them. The service names readers with bytes;
// a name that is not UTF-8 reaches the extension with U+FFFD in place of each bad
// sequence (every response is valid JSON), and that name, sent back, must still
// reach the same reader.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scard/pcsc_service.h"

namespace Vorn_SCard_Bridge {

class ServiceReaderNames {
public:
    explicit ServiceReaderNames(pcsc::Handle context) : context_(context) {}

    // The service's own name of the reader the extension calls `name`: the name
    // itself, unless it holds U+FFFD and a listed reader's name is shown as it.
    // Readers are listed at most once, and only for such a name.
    const std::string& operator()(const std::string& name);

private:
    pcsc::Handle context_;
    std::optional<std::vector<std::string>> listed_;
};

}  // namespace Vorn_SCard_Bridge
