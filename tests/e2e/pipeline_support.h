#pragma once

// Helpers of the tests that push the host's request pipeline: building and
// batching frames, writing more than the host will take without blocking the
// test, waiting for the host's end without reading its output, and its memory.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcscd_service.h"
#include "host_answers.h"

namespace Vorn_SCard_Bridge::testbed {

inline constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
// The PnP pseudo-reader: a wait on it ends only when a reader comes or goes.
inline const std::string PNP_NOTIFICATION = R"(\\?PnP?\Notification)";
inline constexpr const char* CANCELLED = "0x80100002";
inline const Answer WAIT_CANCELLED =
    failure(CANCELLED,
            "Error in handle_smartcard_get_status_change: The action was cancelled by an "
            "SCardCancel request");
// The refusal of a request past the budget: the service's "too busy".
inline const Answer BUSY =
    failure("0x80100031",
            "The host is busy: at most 256 requests (32 MiB) may wait for their answers at a time");
// A prompt answer, with room for a loaded machine; past it the host is stuck.
inline constexpr std::chrono::milliseconds PROMPT = std::chrono::seconds(5);
// The host ends within a second; three leave room for a loaded machine.
inline constexpr std::chrono::milliseconds EXIT_BOUND = std::chrono::seconds(3);
// Peak memory the host may reach whatever a page sends.
inline constexpr std::uint64_t BOUNDED_HWM_KB = 64 * 1024;

inline std::string frame_of(const json& request) { return HostProcess::frame(request.dump()); }

// The current state that keeps a wait on the PnP reader waiting: pcsc-lite 1.9 waits
// for a reader to come or go whatever it is, Windows returns at once for UNAWARE
// (SCARD_READERSTATE) and waits while its high word holds the number of readers
// (MS-RDPESC 2.2.7). The test bed's readers stay the same throughout a run.
inline std::uint32_t pnp_known_state() {
    if (!windows_stand_in()) return 0;
    static const auto known = static_cast<std::uint32_t>(PcscdService::readers().size()) << 16;
    return known;
}

inline json endless_pnp_wait(const std::string& id, const std::string& context) {
    return request(id, "get_status_change",
                   {context, INFINITE, 1, pnp_known_state(), 0, PNP_NOTIFICATION});
}

// The whole frames of an output by requestId; a test failure for a cut frame,
// a frame that is not JSON, or an id answered twice.
inline std::map<std::string, json> answers_by_id(const std::string& output) {
    const SplitOutput split = split_frames(output);
    EXPECT_TRUE(split.rest.empty()) << split.rest.size() << " bytes of a frame cut short";
    std::map<std::string, json> answers;
    for (const std::string& text : split.frames) {
        json response = json::parse(text, nullptr, false);
        EXPECT_TRUE(response.is_object()) << "not a JSON frame: " << text.substr(0, 200);
        const std::string id = response.value("requestId", "");
        EXPECT_TRUE(answers.emplace(id, std::move(response)).second)
            << "answered twice: " << id.substr(0, 100);
    }
    return answers;
}

// Waits, within `bound`, until the host has ended, without reading its output
// (a zombie not yet reaped still shows in /proc). The CPU time it used, in
// clock ticks; nothing when it still runs.
inline std::optional<long> ended_within(HostProcess& host, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        std::ifstream in("/proc/" + std::to_string(host.pid()) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
        if (field.empty() || field[0] == "Z" || field[0] == "X") {
            return field.size() > 12 ? std::stol(field[11]) + std::stol(field[12]) : 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// What the host's threads are doing: the CPU time they have used so far (in
// nanoseconds), and whether any of them runs or waits for a core.
struct HostActivity {
    std::uint64_t cpu_ns = 0;
    bool running = false;
};

inline HostActivity host_activity(pid_t pid) {
    HostActivity activity;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        std::uint64_t on_cpu = 0;
        if (schedstat >> on_cpu) activity.cpu_ns += on_cpu;
        std::ifstream stat_file(task.path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(stat_file)),
                               std::istreambuf_iterator<char>());
        const auto state = stat.rfind(')');
        if (state != std::string::npos && state + 2 < stat.size() && stat[state + 2] == 'R') {
            activity.running = true;
        }
    }
    return activity;
}

// Waits, at most `bound`, until the host rests: for a tenth of a second its
// threads together used less than 2% of a core, and none of them runs or waits
// for a core (on a loaded machine a busy host may get no core for a while). A
// host that still reads, parses, runs or writes works more than that; one that
// waits for room to write, for its answers to be read, or for input, does not.
// `also` must hold as well. True when it came.
inline bool rests_within(
    HostProcess& host, std::chrono::milliseconds bound,
    const std::function<bool()>& also = [] { return true; }) {
    constexpr auto WINDOW = std::chrono::milliseconds(100);
    constexpr std::uint64_t AT_REST_NS = 2'000'000;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::uint64_t used = host_activity(host.pid()).cpu_ns;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(WINDOW);
        const HostActivity now = host_activity(host.pid());
        if (now.cpu_ns - used < AT_REST_NS && !now.running && also()) return true;
        used = now.cpu_ns;
    }
    return false;
}

// Writes frames to the host from a thread of its own, so the test can leave the
// host's output unread while the host stops reading. A host that never takes
// them all is killed at the end, which frees the writer.
class BackgroundWriter {
public:
    BackgroundWriter(HostProcess& host, int count, std::function<std::string(int)> frame)
        : host_(host), thread_([this, count, frame = std::move(frame)] {
              for (int i = 0; i < count; ++i) host_.send_raw(frame(i));
              done_ = true;
          }) {}
    ~BackgroundWriter() {
        if (!done_) host_.send_signal(SIGKILL);
        thread_.join();
    }
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    bool done() const { return done_; }
    // True once every frame was written, waiting up to `bound`.
    bool finished(std::chrono::milliseconds bound) const {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done_ && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done_;
    }

private:
    HostProcess& host_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Peak memory of the host, checked where it means something: sanitizers keep
// shadow memory and a quarantine of freed blocks.
inline void expect_bounded_memory(HostProcess& host, const std::string& what) {
    const auto hwm = proc_status_value(host.pid(), "VmHWM");
    ASSERT_TRUE(hwm.has_value());
    std::cout << "[ memory ] " << what << ": host VmHWM " << *hwm << " kB" << std::endl;
    if (!SANITIZED_BUILD) {
        EXPECT_LT(*hwm, BOUNDED_HWM_KB) << what;
    }
}

}  // namespace Vorn_SCard_Bridge::testbed
