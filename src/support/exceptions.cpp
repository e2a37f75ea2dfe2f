#include "support/exceptions.h"

#include <utility>

namespace Vorn_SCard_Bridge {

VornException::VornException(ErrorCategory category_, std::string component_,
                             std::string operation_, std::string description_)
    : category(category_),
      component(std::move(component_)),
      operation(std::move(operation_)),
      description(std::move(description_)) {}

const char* VornException::what() const noexcept { return description.c_str(); }

SecurityException::SecurityException(SecuritySeverity severity_, std::string component_,
                                     std::string operation_, std::string description_)
    : VornException(ErrorCategory::CRITICAL, std::move(component_), std::move(operation_),
                    std::move(description_)),
      severity(severity_) {}

const char* SecurityException::what() const noexcept { return VornException::what(); }

VornSCardException::VornSCardException(std::int32_t error_code_, std::string message_)
    : error_code(error_code_), message(std::move(message_)) {}

}  // namespace Vorn_SCard_Bridge
