#pragma once

// Helpers of the fault tests: what /proc says about the host, how the output
// stream splits into frames, and whether this build carries a sanitizer (which
// changes what "bounded memory" can mean).

#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host_answers.h"
#include "messaging/frame_codec.h"

namespace Vorn_SCard_Bridge::testbed {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool SANITIZED_BUILD = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool SANITIZED_BUILD = true;
#else
inline constexpr bool SANITIZED_BUILD = false;
#endif
#else
inline constexpr bool SANITIZED_BUILD = false;
#endif

// A numeric field of /proc/<pid>/status ("VmHWM", "Threads", ...), without its unit.
inline std::optional<std::uint64_t> proc_status_value(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return std::nullopt;
}

// True inside scripts/hermetic.sh, where pcscd and the vpcd ports are ours alone.
inline bool hermetic_run() {
    const char* inner = std::getenv("VORN_HERMETIC_INNER");
    return inner != nullptr && std::strcmp(inner, "1") == 0;
}

// True when the host under test is the Windows build on the stand-in WinSCard
// (tests/windows/e2e.sh): where Windows answers otherwise than pcsc-lite, a test
// expects Windows' answer there.
inline bool windows_stand_in() { return std::getenv("VORN_WINSCARD_RELAY") != nullptr; }

// The output of the host split into frames. `rest` holds the bytes after the
// last whole frame: anything there is a frame cut short.
struct SplitOutput {
    std::vector<std::string> frames;
    std::string rest;
};

inline SplitOutput split_frames(const std::string& output) {
    framing::FrameDecoder decoder;
    decoder.feed(output.data(), output.size());
    SplitOutput split;
    for (std::string text; decoder.next_text(text);) split.frames.push_back(text);
    split.rest = output.substr(output.size() - decoder.partial_bytes());
    return split;
}

// Lines of a text, without their newlines.
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// What a sanitizer or a crash leaves on standard error.
inline bool has_crash_report(const std::string& log) {
    for (const char* mark :
         {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
          "runtime error:", "terminate called", "Segmentation fault", "Aborted"}) {
        if (contains(log, mark)) return true;
    }
    return false;
}

// The event state the service reports for a reader now, without the changed
// flag: the state a status-change wait must name so that only a new event ends
// it (pcsc-lite also compares the event counter in the upper 16 bits).
inline std::uint32_t known_state(HostProcess& host, const std::string& context,
                                 const std::string& reader) {
    const Answer now = ask(host, "get_status_change", json::array({context, 0, 1, 0, 0, reader}));
    EXPECT_EQ(now.status, "success") << now.result;
    const Strings result = now.strings();
    if (result.size() < 4) return 0;
    return static_cast<std::uint32_t>(std::stoul(result[3], nullptr, 16)) & ~0x0002u;
}

}  // namespace Vorn_SCard_Bridge::testbed
