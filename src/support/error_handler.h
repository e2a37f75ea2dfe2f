#pragma once

#include <string>

#include "support/exceptions.h"

namespace Vorn_SCard_Bridge {

// Writes one uniform log line for a VornException.
class ErrorHandler {
public:
    static ErrorHandler& get_instance();
    void handle_error(const VornException& exception, const std::string& context) const;

private:
    ErrorHandler() = default;
};

}  // namespace Vorn_SCard_Bridge
