#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace Vorn_SCard_Bridge {

// What a VornException is about; the error handler picks its log level from it.
enum class ErrorCategory : std::int32_t {
    WARNING = 0,   // logged as a warning
    PCSC = 1,
    MESSAGING = 2,
    PROCESSING = 3,
    CRITICAL = 4,  // logged as critical
    GENERAL = 5,   // logged as an error
};

enum class SecuritySeverity : std::int32_t {
    LOW = 0,
    MEDIUM = 1,
    HIGH = 2,
    CRITICAL = 3,  // the host shuts down
};

class VornException : public std::exception {
public:
    VornException(ErrorCategory category, std::string component, std::string operation,
                  std::string description);
    ~VornException() override = default;
    const char* what() const noexcept override;

    const std::string& get_component() const { return component; }
    const std::string& get_operation() const { return operation; }
    ErrorCategory get_category() const { return category; }

private:
    ErrorCategory category;
    std::string component;
    std::string operation;
    std::string description;
};

class SecurityException : public VornException {
public:
    SecurityException(SecuritySeverity severity, std::string component, std::string operation,
                      std::string description);
    ~SecurityException() override = default;
    const char* what() const noexcept override;

    SecuritySeverity get_severity() const { return severity; }

private:
    SecuritySeverity severity;
};

// A failed PC/SC call. It keeps std::exception's generic what(): handlers read
// error_code and message.
class VornSCardException : public std::exception {
public:
    VornSCardException(std::int32_t error_code, std::string message);
    ~VornSCardException() override = default;

    std::int32_t error_code;
    std::string message;
};

}  // namespace Vorn_SCard_Bridge
