#pragma once

// Helpers of the tests about the log: a scratch directory, reading a log file,
// waiting for something the host writes in its own time, and a flood of
// healthchecks with every answer counted.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "fixtures/host_process.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {

// A directory removed with everything in it at the end of the test. Under /var/tmp:
// tests that give the host a /tmp of its own can still reach it.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = "/var/tmp/vorn-fault-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits up to `bound` for `done`; true when it came.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds bound = PROMPT) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Writes `frames` (from a thread of its own, as a page pipelines them) and returns
// how many healthchecks were answered "OK", reading until `expected` are or the
// host stays silent for PROMPT.
inline int healthchecks_answered(HostProcess& host, const std::string& frames, int expected) {
    // A bound, not a speed: a sanitized build on a loaded machine reads a flood of
    // tens of thousands of frames for several seconds before the next answer.
    constexpr std::chrono::seconds FLOOD_BOUND{60};
    const BackgroundWriter writer(host, 1, [&frames](int) { return frames; });
    int answered = 0;
    while (answered < expected) {
        const auto response = host.receive(FLOOD_BOUND);
        if (!response) break;
        if ((*response)["result"] == json::array({"OK"})) ++answered;
    }
    return answered;
}

// `count` healthcheck frames with ids "<prefix><n>", padded with dots to
// `id_length` characters when that is longer.
inline std::string healthcheck_frames(const std::string& prefix, int count,
                                      std::size_t id_length = 0) {
    std::string frames;
    for (int i = 0; i < count; ++i) {
        std::string id = prefix + std::to_string(i);
        if (id.size() < id_length) id.resize(id_length, '.');
        frames += frame_of(request(id, "healthcheck"));
    }
    return frames;
}

}  // namespace Vorn_SCard_Bridge::testbed
