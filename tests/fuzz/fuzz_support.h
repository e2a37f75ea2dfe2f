#pragma once

// Shared set-up of the fuzz targets: a console-only logger that drops all but
// critical lines (the first get_instance call wins for the whole process, and a
// file or system-log sink would make every input slow and leave files behind),
// and a failure that libFuzzer reports with the input that caused it.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "logging/logger.h"

namespace Vorn_SCard_Bridge::fuzzing {

inline void quiet_logger() {
    Logger::get_instance(LogLevel::CRITICAL, LogDestination::CONSOLE, {});
}

// An invariant that does not hold: print why and abort, which libFuzzer turns
// into a crash report with the reproducer saved.
[[noreturn]] inline void violated(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what.c_str());
    std::abort();
}

inline void require(bool holds, const std::string& what) {
    if (!holds) violated(what);
}

}  // namespace Vorn_SCard_Bridge::fuzzing
