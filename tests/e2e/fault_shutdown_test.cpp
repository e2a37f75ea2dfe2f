// Ending the host while it is busy: the browser closing the pipe with requests
// and endless waits in flight, and SIGTERM in the middle of a pipelined flood.
// Either way the host ends promptly with code 0, without a crash or sanitizer
// report, and what it wrote is whole frames.

#include <gtest/gtest.h>

#include <signal.h>

#include <csignal>
#include <set>
#include <string>
#include <thread>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "host_answers.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
// "About a second" to exit, with room for a loaded machine; more means it hangs.
constexpr std::chrono::milliseconds EXIT_BOUND = 3s;

std::string frame_of(const json& request) { return HostProcess::frame(request.dump()); }

json request(const std::string& id, const std::string& name, json params = json::array()) {
    return {{"requestId", id}, {"command", name}, {"params", std::move(params)}};
}

// Every byte written is part of a whole frame holding a JSON object with one of
// our request ids (those of the flood, or "q..." of the requests asked before
// it), and no id comes back twice.
void expect_whole_frames(const std::string& output, const std::set<std::string>& sent) {
    const SplitOutput split = split_frames(output);
    EXPECT_TRUE(split.rest.empty()) << split.rest.size() << " bytes of a frame cut short";
    std::set<std::string> seen;
    for (const std::string& text : split.frames) {
        const json response = json::parse(text, nullptr, false);
        ASSERT_TRUE(response.is_object()) << text.substr(0, 200);
        const std::string id = response.value("requestId", "");
        EXPECT_TRUE(sent.count(id) == 1 || id.rfind('q', 0) == 0) << "unknown requestId " << id;
        EXPECT_TRUE(seen.insert(id).second) << "answered twice: " << id;
    }
}

class FaultShutdown : public PcscTestBed {};

TEST_F(FaultShutdown, EndOfInputWithRequestsAndEndlessWaitsInFlightExitsPromptly) {
    HostProcess host;
    std::vector<std::string> contexts;
    for (int i = 0; i < 3; ++i) contexts.push_back(establish_context(host));
    const std::uint32_t empty = known_state(host, contexts[0], VPCD_READER_1);
    std::set<std::string> sent;
    std::string burst;
    for (int i = 0; i < 12; ++i) {
        const std::string id = "wait" + std::to_string(i);
        sent.insert(id);
        burst += frame_of(request(id, "get_status_change",
                                  {contexts[i % 3], INFINITE, 1, empty, 0, VPCD_READER_1}));
    }
    for (int i = 0; i < 600; ++i) {
        const std::string id = "quick" + std::to_string(i);
        sent.insert(id);
        burst += frame_of(i % 2 ? request(id, "list_readers", {contexts[i % 3]})
                                : request(id, "healthcheck"));
    }
    host.send_raw(burst);
    host.close_input();

    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
    expect_whole_frames(host.all_output(), sent);
    const std::string log = host.stderr_text();
    EXPECT_TRUE(contains(log, "=== Vorn Smart Card Bridge Shutdown Complete ===")) << log;
    EXPECT_FALSE(has_crash_report(log)) << log;
}

TEST_F(FaultShutdown, SigtermDuringAPipelinedFloodEndsInOrderWithWholeFrames) {
    HostProcess host;
    const std::string context = establish_context(host);
    ASSERT_FALSE(context.empty());

    constexpr int FLOOD = 20000;
    std::set<std::string> sent;
    std::vector<std::string> chunks;
    std::string chunk;
    for (int i = 0; i < FLOOD; ++i) {
        const std::string id = "f" + std::to_string(i);
        sent.insert(id);
        switch (i % 3) {
            case 0: chunk += frame_of(request(id, "healthcheck")); break;
            case 1: chunk += frame_of(request(id, "get_version")); break;
            default: chunk += frame_of(request(id, "list_readers", {context})); break;
        }
        if (i % 500 == 499) chunks.push_back(std::move(chunk)), chunk.clear();
    }
    // The flood keeps coming while the signal arrives; the writer stops by
    // itself once the host has gone and the pipe is broken.
    std::thread writer([&host, &chunks] {
        for (const std::string& piece : chunks) host.send_raw(piece);
    });
    const auto first = host.receive_text(10s);
    EXPECT_TRUE(first.has_value()) << "no answer to the flood";
    host.send_signal(SIGTERM);
    const auto code = host.wait_exit(EXIT_BOUND);
    if (!code) {
        // A hung host would keep the writer blocked on a full pipe for ever.
        ::kill(host.pid(), SIGKILL);
        host.wait_exit(5s);
    }
    writer.join();
    EXPECT_EQ(code, 0);

    // Every byte that arrived, the frame receive_text took included.
    expect_whole_frames(host.all_output(), sent);
    const std::string log = host.stderr_text();
    EXPECT_TRUE(contains(log, "Waiting for message sender thread to finish")) << log;
    EXPECT_TRUE(contains(log, "=== Vorn Smart Card Bridge Shutdown Complete ===")) << log;
    EXPECT_FALSE(has_crash_report(log)) << log;
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
