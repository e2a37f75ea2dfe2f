// The sender thread: responses from the process-wide queue leave as frames, a
// native-order 32-bit length and compact UTF-8 JSON.
//
// Each case is one run of the queue: the sender writes to a pipe until the queue
// is shut down, and the queue is opened again for the next case.

#include "messaging/message_sender.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "messaging/frame_codec.h"
#include "messaging/messaging_queue.h"
#include "platform/fd_events.h"
#include "platform/fd_writes.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using nlohmann::json;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Matcher;
using ::testing::Not;

std::string hex_of(const std::string& bytes) {
    std::string hex;
    char digits[3];
    for (const char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02X",
                      static_cast<unsigned>(static_cast<unsigned char>(c)));
        hex += digits;
    }
    return hex;
}

// Appends what is left to read from `fd` until its end.
void read_to_end(int fd, std::string& received) {
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        received.append(buffer, static_cast<std::size_t>(got));
}

// Reads exactly `size` bytes, giving up after WAIT_LIMIT without data.
bool read_exactly(int fd, std::string& into, std::size_t size) {
    while (size > 0) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1,
                   static_cast<int>(std::chrono::milliseconds(vorn_test::WAIT_LIMIT).count())) <=
            0) {
            return false;
        }
        char buffer[65536];
        const ssize_t got = ::read(fd, buffer, std::min(size, sizeof buffer));
        if (got <= 0) return false;
        into.append(buffer, static_cast<std::size_t>(got));
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// What one run of the sender wrote and logged.
struct SenderRun {
    std::string frames;  // every byte that came out of the pipe
    std::string log;     // standard error meanwhile
    bool complete = false;
};

// Runs the sender on a pipe, queues the responses, reads the expected number of
// frames, shuts the queue down and collects what came out, including anything
// beyond those frames; then opens the queue again.
SenderRun send_and_collect(const std::vector<json>& responses, std::size_t frames,
                           const std::function<void()>& on_broken = {}, bool close_reader = false) {
    SenderRun run;
    int fds[2];
    if (::pipe(fds) != 0) return run;
    if (close_reader) ::close(fds[0]);
    vorn_test::StderrCapture capture;
    std::thread sender([fd = fds[1], on_broken] { send_message_to(fd, on_broken); });
    for (const json& response : responses) add_message_to_send_queue(response);
    run.complete = true;
    for (std::size_t i = 0; i < frames && run.complete && !close_reader; ++i) {
        std::string length_bytes;
        run.complete = read_exactly(fds[0], length_bytes, framing::HEADER_SIZE);
        if (!run.complete) break;
        run.frames += length_bytes;
        run.complete =
            read_exactly(fds[0], run.frames, framing::decode_length(length_bytes.data()));
    }
    MessagingQueue::instance().shutdown();
    // A sender still writing what was not expected is read to its end meanwhile.
    std::string rest;
    std::thread reader([fd = fds[0], close_reader, &rest] {
        if (!close_reader) read_to_end(fd, rest);
    });
    sender.join();
    ::close(fds[1]);
    reader.join();
    if (!close_reader) ::close(fds[0]);
    MessagingQueue::instance().reopen();
    run.frames += rest;
    run.log = capture.take();
    return run;
}

std::string line_pattern(const std::string& level, const std::string& text) {
    return "\\[" + level + "\\] \\[tid:[0-9]+\\] " + vorn_test::regex_escape(text) + "\n";
}

std::string sender_line(const std::string& request_id, const std::string& text) {
    return "[MessageSender::send_message req:" + request_id + "] " + text;
}

std::string sent_line(const std::string& request_id, std::size_t size) {
    return sender_line(request_id,
                       "Response sent successfully (size: " + std::to_string(size) + " bytes)");
}

struct SenderCase {
    std::string name;
    std::vector<json> responses;
    std::vector<std::string> texts;         // the frames' texts, in order
    std::vector<std::string> log_patterns;  // regexes the child's standard error must match
    std::vector<std::string> absent;        // substrings it must not contain
};

void PrintTo(const SenderCase& c, std::ostream* os) { *os << c.name; }

class SendMessage : public ::testing::TestWithParam<SenderCase> {};

TEST_P(SendMessage, WritesEachResponseAsItsOwnFrame) {
    const SenderCase& c = GetParam();
    std::string frames;
    for (const std::string& text : c.texts) frames += framing::encode_frame(text);
    std::vector<Matcher<const std::string&>> expectations = {ContainsRegex(
        line_pattern("info", "[MessageSender::send_message] Message sender thread started"))};
    for (const std::string& pattern : c.log_patterns)
        expectations.push_back(ContainsRegex(pattern));
    for (const std::string& text : c.absent) expectations.push_back(Not(HasSubstr(text)));
    const SenderRun run = send_and_collect(c.responses, c.texts.size());
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(hex_of(run.frames), hex_of(frames));
    EXPECT_THAT(run.log, ::testing::AllOfArray(expectations));
}

std::vector<SenderCase> sender_cases() {
    std::vector<SenderCase> cases;
    {
        // Members leave sorted by key whatever order they were set in.
        json response;
        response["status"] = "success";
        response["result"] = json::array({"OK"});
        response["requestId"] = "r1";
        const std::string text = R"({"requestId":"r1","result":["OK"],"status":"success"})";
        cases.push_back(
            {"ExactFrameBytes",
             {response},
             {text},
             {line_pattern("debug", sender_line("r1", "Sending message: " + text)),
              line_pattern("info", sent_line("r1", text.size())),
              line_pattern("debug",
                           "[MessageQueue::add_message req:r1] Message added to send queue")},
             {}});
    }
    {
        const json response = {{"requestId", "u"},
                               {"status", "success"},
                               {"result", {"0x00000000", "Lecteur \xC3\xA9 \xE2\x82\xAC"}}};
        cases.push_back({"NonAsciiWrittenAsUtf8",
                         {response},
                         {"{\"requestId\":\"u\",\"result\":[\"0x00000000\",\"Lecteur \xC3\xA9 "
                          "\xE2\x82\xAC\"],\"status\":\"success\"}"},
                         {},
                         {"\\u00e9"}});
    }
    {
        SenderCase several{"SeveralResponsesInQueueOrder", {}, {}, {}, {}};
        for (int n = 1; n <= 6; ++n) {
            const std::string id = "req-" + std::to_string(n);
            several.responses.push_back(
                {{"requestId", id}, {"status", "error"}, {"result", "command_not_supported"}});
            const std::string text = R"({"requestId":")" + id +
                                     R"(","result":"command_not_supported","status":"error"})";
            several.texts.push_back(text);
            several.log_patterns.push_back(line_pattern("info", sent_line(id, text.size())));
        }
        cases.push_back(several);
    }
    {
        // A string from the service that is not UTF-8 must not leave the
        // extension waiting: it is sent with U+FFFD, and the next one normally.
        const json bad = {{"requestId", "bad"},
                          {"status", "success"},
                          {"result",
                           {"0x00000000",
                            "A\xFF"
                            "B"}}};
        const json good = {{"requestId", "good"}, {"status", "success"}, {"result", {"OK"}}};
        const std::string bad_text =
            "{\"requestId\":\"bad\",\"result\":[\"0x00000000\",\"A\xEF\xBF\xBD"
            "B\"],\"status\":\"success\"}";
        const std::string good_text = R"({"requestId":"good","result":["OK"],"status":"success"})";
        cases.push_back(
            {"InvalidUtf8SentWithReplacementCharacter",
             {bad, good},
             {bad_text, good_text},
             {"\\[warning\\] \\[tid:[0-9]+\\] " +
                  vorn_test::regex_escape(sender_line(
                      "bad",
                      "Response is not valid UTF-8, sending it with replacement characters: "
                      "[json.exception.type_error.316]")),
              line_pattern("info", sent_line("bad", bad_text.size())),
              line_pattern("info", sent_line("good", good_text.size()))},
             {"Error sending message"}});
    }
    {
        // The debug echo shows at most 200 bytes of the text.
        const std::string head = R"({"requestId":"e","result":")";
        const std::string tail = R"(","status":"success"})";
        const auto sized = [&](std::size_t size) {
            return head + std::string(size - head.size() - tail.size(), 'x') + tail;
        };
        const auto response_of = [&](const std::string& text) { return json::parse(text); };
        const std::string exactly_200 = sized(200);
        const std::string of_201 = sized(201);
        const std::string of_150 = sized(150);
        cases.push_back(
            {"DebugEchoCutAfter200Bytes",
             {response_of(of_150), response_of(exactly_200), response_of(of_201)},
             {of_150, exactly_200, of_201},
             {line_pattern("debug", sender_line("e", "Sending message: " + of_150)),
              line_pattern("debug", sender_line("e", "Sending message: " + exactly_200)),
              line_pattern("debug",
                           sender_line("e", "Sending message: " + of_201.substr(0, 200) + "..."))},
             {}});
    }
    {
        // Larger than a pipe holds: the writer must go on after partial writes.
        const std::string big(300000, 'D');
        const json response = {
            {"requestId", "big"}, {"status", "success"}, {"result", {"0x00000000", big}}};
        const std::string text =
            R"({"requestId":"big","result":["0x00000000",")" + big + R"("],"status":"success"})";
        cases.push_back(
            {"ResponseLargerThanThePipe",
             {response, {{"requestId", "after"}, {"status", "success"}, {"result", {"OK"}}}},
             {text, R"({"requestId":"after","result":["OK"],"status":"success"})"},
             {line_pattern("info", sent_line("big", text.size()))},
             {}});
    }
    {
        // A browser closes the port on a message over 1 MiB: the answer of exactly
        // that size leaves as it is, a longer one as a short error for its request,
        // and one that has no id to answer is dropped.
        const std::string head = R"({"requestId":"edge","result":")";
        const std::string tail = R"(","status":"success"})";
        const std::string edge =
            head + std::string(1048576 - head.size() - tail.size(), 'e') + tail;
        const json longer = {{"requestId", "huge"}, {"result", std::string(1048576, 'h')}};
        const std::string longer_size = std::to_string(longer.dump().size());
        const std::string replaced =
            R"({"requestId":"huge","result":["0x80100008","The answer of )" + longer_size +
            R"( bytes is longer than the 1048576 bytes a browser takes from the host"],"status":"error"})";
        const json nameless = {{"result", std::string(1048576, 'n')}};
        const std::string after = R"({"requestId":"after","result":["OK"],"status":"success"})";
        cases.push_back(
            {"AnswersOverTheBrowserLimit",
             {json::parse(edge), longer, nameless, json::parse(after)},
             {edge, replaced, after},
             {line_pattern("error", sender_line("huge", "Response of " + longer_size +
                                                            " bytes replaced by an error: longer "
                                                            "than a browser takes")),
              line_pattern(
                  "error",
                  sender_line("unknown", "Response of " + std::to_string(nameless.dump().size()) +
                                             " bytes dropped: longer than a "
                                             "browser takes"))},
             {}});
    }
    {
        const json response = {{"status", "error"}, {"result", "x"}};
        const std::string text = R"({"result":"x","status":"error"})";
        cases.push_back({"ResponseWithoutRequestIdIsUnknown",
                         {response},
                         {text},
                         {line_pattern("info", sent_line("unknown", text.size()))},
                         {}});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Responses, SendMessage, ::testing::ValuesIn(sender_cases()),
                         [](const auto& info) { return info.param.name; });

// A browser that has gone away: with SIGPIPE ignored (as the host does) the
// failed write is reported as a send failure, once, to whoever owns the run, and
// the sender keeps serving the queue until shutdown.
TEST(SendMessageEnds, WriteToAClosedPipeIsReportedNotFatal) {
    std::signal(SIGPIPE, SIG_IGN);
    std::atomic<int> reported{0};
    const SenderRun run = send_and_collect(
        {json{{"requestId", "gone"}, {"status", "success"}, {"result", {"OK"}}},
         json{{"requestId", "later"}, {"status", "success"}, {"result", {"OK"}}}},
        0, [&reported] { ++reported; }, true);
    EXPECT_EQ(reported.load(), 1);
    EXPECT_THAT(
        run.log,
        ContainsRegex("\\[error\\] \\[tid:[0-9]+\\] " +
                      vorn_test::regex_escape(sender_line("gone", "Error sending message: ")) +
                      "[^\n]+\n"));
    EXPECT_THAT(run.log, Not(HasSubstr("Response sent successfully")));
}

// The next run of the sender starts with a whole output, whatever the last one met.
TEST(SendMessageEnds, AfterABrokenOutputTheNextRunWritesAgain) {
    std::signal(SIGPIPE, SIG_IGN);
    send_and_collect({json{{"requestId", "gone"}, {"result", "x"}}}, 0, {}, true);
    const std::string text = R"({"requestId":"again","result":"x"})";
    const SenderRun run = send_and_collect({json::parse(text)}, 1);
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(run.frames, framing::encode_frame(text));
}

TEST(SendMessageEnds, AfterShutdownNothingIsSentButTheAddIsLogged) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    vorn_test::StderrCapture capture;
    std::thread sender([fd = fds[1]] { send_message_to(fd); });
    MessagingQueue::instance().shutdown();
    sender.join();
    add_message_to_send_queue(
        json{{"requestId", "late"}, {"status", "success"}, {"result", {"OK"}}});
    ::close(fds[1]);
    std::string received;
    read_to_end(fds[0], received);
    ::close(fds[0]);
    MessagingQueue::instance().reopen();
    EXPECT_EQ(received, "");
    EXPECT_THAT(capture.take(),
                ContainsRegex(line_pattern(
                    "debug", "[MessageQueue::add_message req:late] Message added to send queue")));
}

// A library that prints to standard output once the host has started (a crash
// text, a driver's debug print) reaches standard error, never the frame stream.
TEST(FrameOutput, WhatIsPrintedToStandardOutputAfterwardsStaysOutOfTheFrames) {
    const std::string frame = framing::encode_frame(R"({"requestId":"r"})");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::fflush(stdout);
    const int saved_stdout = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    vorn_test::StderrCapture capture;
    const int frames = platform::take_frame_output();
    std::printf("printed by a library\n");
    std::fflush(stdout);
    const std::string_view driver = "written by a driver\n";
    const bool driver_wrote = ::write(STDOUT_FILENO, driver.data(), driver.size()) > 0;
    const bool framed = frames >= 0 && platform::write_all(frames, frame);
    if (frames >= 0) ::close(frames);
    // Standard output is the test's own again.
    ::dup2(saved_stdout, STDOUT_FILENO);
    ::close(saved_stdout);
    const std::string printed = capture.take();
    std::string received;
    read_to_end(fds[0], received);
    ::close(fds[0]);
    EXPECT_TRUE(driver_wrote);
    EXPECT_TRUE(framed);
    EXPECT_EQ(hex_of(received), hex_of(frame));
    EXPECT_THAT(printed, ::testing::AllOf(HasSubstr("printed by a library\n"),
                                          HasSubstr("written by a driver\n")));
}

struct RefusedCase {
    const char* name;
    json message;
};

class AddMessageRefuses : public ::testing::TestWithParam<RefusedCase> {};

// A message whose request id cannot be read fails before it is queued, so these
// leave the process-wide queue untouched.
TEST_P(AddMessageRefuses, WithTheLibrarysTypeError) {
    EXPECT_THROW(add_message_to_send_queue(GetParam().message), nlohmann::json::type_error);
}

INSTANTIATE_TEST_SUITE_P(Messages, AddMessageRefuses,
                         ::testing::Values(RefusedCase{"Array", json::array({"requestId"})},
                                           RefusedCase{"String", json("requestId")},
                                           RefusedCase{"NumericRequestId", json{{"requestId", 5}}},
                                           RefusedCase{"NullRequestId",
                                                       json{{"requestId", nullptr}}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge
