// Ending the host while it is busy: the browser closing the pipe with requests
// and endless waits in flight, SIGTERM in the middle of a pipelined flood, any
// ending while nobody reads the host's output, and a "shutdown" right behind
// other requests. The host ends promptly with code 0, without a crash or
// sanitizer report, what it wrote is whole frames, and what it accepted before
// a "shutdown" is answered.

#include <gtest/gtest.h>
#include <signal.h>

#include <csignal>
#include <ostream>
#include <set>
#include <string>
#include <thread>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "host_answers.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

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
            case 0:
                chunk += frame_of(request(id, "healthcheck"));
                break;
            case 1:
                chunk += frame_of(request(id, "get_version"));
                break;
            default:
                chunk += frame_of(request(id, "list_readers", {context}));
                break;
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

// The browser stopped reading (a busy or hung renderer) while answers are due
// and a wait is in flight: however it is told to end, the host ends.
enum class Ending { Sigterm, ShutdownRequest, EndOfInput };

void PrintTo(Ending ending, std::ostream* out) { *out << static_cast<int>(ending); }

class FaultUnreadOutput : public PcscTestBed, public ::testing::WithParamInterface<Ending> {};

TEST_P(FaultUnreadOutput, HostEndsWithinTheBoundWhileItsAnswersCannotBeWritten) {
    HostProcess host;
    const std::string context = establish_context(host);
    ASSERT_FALSE(context.empty());
    // About 400 kB of answers: far more than the output pipe holds, far less
    // than the host holds unwritten before it stops reading.
    std::string batch = frame_of(endless_pnp_wait("endless", context));
    for (int i = 0; i < 100; ++i) {
        batch += frame_of(request(std::to_string(i) + std::string(4000, 'p'), "healthcheck"));
    }
    if (GetParam() == Ending::ShutdownRequest) batch += frame_of(request("bye", "shutdown"));
    host.send_raw(batch);
    // Not a bound: only room for the answers to pile up before the end comes.
    std::this_thread::sleep_for(500ms);
    if (GetParam() == Ending::Sigterm) host.send_signal(SIGTERM);
    if (GetParam() == Ending::EndOfInput) host.close_input();

    ASSERT_TRUE(ended_within(host, EXIT_BOUND).has_value())
        << "the host still runs with its output unread";
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
    EXPECT_FALSE(has_crash_report(host.stderr_text()));
}

INSTANTIATE_TEST_SUITE_P(Endings, FaultUnreadOutput,
                         ::testing::Values(Ending::Sigterm, Ending::ShutdownRequest,
                                           Ending::EndOfInput),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Ending::Sigterm:
                                     return "Sigterm";
                                 case Ending::ShutdownRequest:
                                     return "ShutdownRequest";
                                 default:
                                     return "EndOfInput";
                             }
                         });

// A "shutdown" sent right behind other requests, while the extension still
// listens: each request read before it is answered, either run to its end or
// refused as not started, and nothing reaches a card without its answer.
const Answer NOT_STARTED =
    failure(CANCELLED, "The host is shutting down: the request was not started");

class FaultShutdownAnswers : public PcscTestBed {};

TEST_F(FaultShutdownAnswers, EachUpdateBeforeAShutdownIsAnsweredAndOnlyAnsweredOnesReachTheCard) {
    card().set_default_response(response({}, 0x90, 0x00));
    insert_card();
    HostProcess host;
    const std::string context = establish_context(host);
    const std::string handle = connect_card(host, context, VPCD_READER_0);
    ASSERT_FALSE(handle.empty());
    card().clear_received();

    std::string batch;
    for (int i = 0; i < 30; ++i) {
        const std::string offset = to_hex({static_cast<std::uint8_t>(i)});
        batch += frame_of(request("update" + std::to_string(i), "transmit",
                                  {context, handle, 2, "00D600" + offset + "0401020304"}));
    }
    host.send_raw(batch + frame_of(request("bye", "shutdown")));
    ASSERT_EQ(host.wait_exit(EXIT_BOUND), 0);

    const auto answers = answers_by_id(host.all_output(1s));
    std::size_t ran = 0;
    for (int i = 0; i < 30; ++i) {
        const auto found = answers.find("update" + std::to_string(i));
        ASSERT_NE(found, answers.end()) << "update " << i << " was never answered";
        const Answer answer = answer_of(found->second);
        if (answer.status == "success") {
            EXPECT_EQ(answer.strings().back(), "9000") << answer.result;
            ++ran;
        } else {
            EXPECT_EQ(answer, NOT_STARTED) << "update " << i;
        }
    }
    EXPECT_EQ(card().received_count(), ran) << "the card ran updates nobody was told about";
    EXPECT_EQ(answers.count("bye"), 0u);
}

TEST_F(FaultShutdownAnswers, FiveHundredHealthchecksBeforeAShutdownAreAllAnswered) {
    HostProcess host;
    std::string batch;
    for (int i = 0; i < 500; ++i)
        batch += frame_of(request("h" + std::to_string(i), "healthcheck"));
    host.send_raw(batch + frame_of(request("bye", "shutdown")));
    ASSERT_EQ(host.wait_exit(EXIT_BOUND), 0);

    const auto answers = answers_by_id(host.all_output(1s));
    int answered = 0;
    for (int i = 0; i < 500; ++i) {
        const auto found = answers.find("h" + std::to_string(i));
        if (found != answers.end() && answer_of(found->second) == success({"OK"})) ++answered;
    }
    EXPECT_EQ(answered, 500);
}

// Calls queued on a context released just before the shutdown are answered like
// every other request read.
TEST_F(FaultShutdownAnswers, CallsQueuedOnAContextReleasedJustBeforeAreAnswered) {
    for (int trial = 0; trial < 5; ++trial) {
        HostProcess host;
        const std::string context = establish_context(host);
        std::string batch = frame_of(request("release", "release_context", {context}));
        for (int i = 0; i < 5; ++i)
            batch += frame_of(request("list" + std::to_string(i), "list_readers", {context}));
        for (int i = 0; i < 60; ++i)
            batch += frame_of(request("new" + std::to_string(i), "establish_context"));
        host.send_raw(batch + frame_of(request("bye", "shutdown")));
        ASSERT_EQ(host.wait_exit(EXIT_BOUND), 0);

        const auto answers = answers_by_id(host.all_output(1s));
        for (int i = 0; i < 5; ++i) {
            const auto found = answers.find("list" + std::to_string(i));
            ASSERT_NE(found, answers.end()) << "trial " << trial << ": list " << i;
            const Answer answer = answer_of(found->second);
            if (answer != NOT_STARTED) {
                EXPECT_EQ(answer.strings().at(0), "0x80100003");
            }
        }
        EXPECT_EQ(answers.count("release"), 1u);
    }
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
