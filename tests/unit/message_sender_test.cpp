// The sender thread: responses from the process-wide queue leave as frames, a
// native-order 32-bit length and compact UTF-8 JSON.
//
// The sender ends only when the process-wide queue is shut down, for good; so
// every case runs in a child process, which prints the bytes that came out of
// the pipe as "FRAMES:<hex>" for the parent to compare.

#include "messaging/message_sender.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "messaging/frame_codec.h"
#include "messaging/messaging_queue.h"
#include "platform/fd_events.h"
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

// In the child: runs the sender on a pipe, queues the responses, reads the
// expected number of frames, shuts the queue down and reports what came out,
// including anything beyond those frames.
[[noreturn]] void send_and_report(const std::vector<json>& responses, std::size_t frames) {
    ::alarm(60);
    int fds[2];
    if (::pipe(fds) != 0) vorn_test::exit_child(2);
    std::thread sender([fd = fds[1]] { send_message_to(fd); });
    for (const json& response : responses) add_message_to_send_queue(response);

    std::string received;
    bool complete = true;
    for (std::size_t i = 0; i < frames && complete; ++i) {
        std::string length_bytes;
        complete = read_exactly(fds[0], length_bytes, framing::HEADER_SIZE);
        if (!complete) break;
        received += length_bytes;
        complete = read_exactly(fds[0], received, framing::decode_length(length_bytes.data()));
    }
    MessagingQueue::instance().shutdown();
    sender.join();
    ::close(fds[1]);
    read_to_end(fds[0], received);
    std::fprintf(stderr, "\nFRAMES:%s\n", hex_of(received).c_str());
    vorn_test::exit_child(complete ? 0 : 3);
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
    std::vector<Matcher<const std::string&>> expectations = {
        HasSubstr("\nFRAMES:" + hex_of(frames) + "\n"),
        ContainsRegex(
            line_pattern("info", "[MessageSender::send_message] Message sender thread started"))};
    for (const std::string& pattern : c.log_patterns)
        expectations.push_back(ContainsRegex(pattern));
    for (const std::string& text : c.absent) expectations.push_back(Not(HasSubstr(text)));
    EXPECT_EXIT(send_and_report(c.responses, c.texts.size()), ::testing::ExitedWithCode(0),
                ::testing::AllOfArray(expectations));
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
// failed write is reported as a send failure and the sender keeps serving the
// queue until shutdown.
TEST(SendMessageDeathTest, WriteToAClosedPipeIsReportedNotFatal) {
    EXPECT_EXIT(
        {
            ::alarm(60);
            std::signal(SIGPIPE, SIG_IGN);
            int fds[2];
            if (::pipe(fds) != 0) vorn_test::exit_child(2);
            ::close(fds[0]);
            // Our own standard error goes to a file that we can watch for the line.
            char log_name[] = "/tmp/vorn-sender-log-XXXXXX";
            const int log_fd = ::mkstemp(log_name);
            const int saved_stderr = ::dup(STDERR_FILENO);
            ::dup2(log_fd, STDERR_FILENO);
            std::thread sender([fd = fds[1]] { send_message_to(fd); });
            add_message_to_send_queue(
                json{{"requestId", "gone"}, {"status", "success"}, {"result", {"OK"}}});
            std::string log;
            const auto deadline = std::chrono::steady_clock::now() + vorn_test::WAIT_LIMIT;
            while (log.find("Error sending message") == std::string::npos &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::ifstream in(log_name);
                log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
            MessagingQueue::instance().shutdown();
            sender.join();
            std::fflush(stderr);
            ::dup2(saved_stderr, STDERR_FILENO);
            std::ifstream in(log_name);
            log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            ::unlink(log_name);
            std::fprintf(stderr, "%s\nSENDER ENDED\n", log.c_str());
            vorn_test::exit_child(0);
        },
        ::testing::ExitedWithCode(0),
        ::testing::AllOf(
            ContainsRegex("\\[error\\] \\[tid:[0-9]+\\] " +
                          vorn_test::regex_escape(sender_line("gone", "Error sending message: ")) +
                          "[^\n]+\n"),
            Not(HasSubstr("Response sent successfully")), HasSubstr("SENDER ENDED")));
}

TEST(SendMessageDeathTest, AfterShutdownNothingIsSentButTheAddIsLogged) {
    EXPECT_EXIT(
        {
            ::alarm(60);
            int fds[2];
            if (::pipe(fds) != 0) vorn_test::exit_child(2);
            std::thread sender([fd = fds[1]] { send_message_to(fd); });
            MessagingQueue::instance().shutdown();
            sender.join();
            add_message_to_send_queue(
                json{{"requestId", "late"}, {"status", "success"}, {"result", {"OK"}}});
            ::close(fds[1]);
            std::string received;
            read_to_end(fds[0], received);
            std::fprintf(stderr, "\nFRAMES:%s\n", hex_of(received).c_str());
            vorn_test::exit_child(0);
        },
        ::testing::ExitedWithCode(0),
        ::testing::AllOf(
            HasSubstr("\nFRAMES:\n"),
            ContainsRegex(line_pattern(
                "debug", "[MessageQueue::add_message req:late] Message added to send queue"))));
}

// A library that prints to standard output once the host has started (a crash
// text, a driver's debug print) reaches standard error, never the frame stream.
TEST(FrameOutputDeathTest, WhatIsPrintedToStandardOutputAfterwardsStaysOutOfTheFrames) {
    const std::string frame = framing::encode_frame(R"({"requestId":"r"})");
    EXPECT_EXIT(
        {
            ::alarm(60);
            int fds[2];
            if (::pipe(fds) != 0) vorn_test::exit_child(2);
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[1]);
            const int frames = platform::take_frame_output();
            if (frames < 0) vorn_test::exit_child(3);
            std::printf("printed by a library\n");
            std::fflush(stdout);
            const std::string_view driver = "written by a driver\n";
            if (::write(STDOUT_FILENO, driver.data(), driver.size()) < 0) vorn_test::exit_child(4);
            if (!framing::write_all(frames, frame)) vorn_test::exit_child(5);
            ::close(frames);
            std::string received;
            read_to_end(fds[0], received);
            std::fprintf(stderr, "\nFRAMES:%s\n", hex_of(received).c_str());
            vorn_test::exit_child(0);
        },
        ::testing::ExitedWithCode(0),
        ::testing::AllOf(HasSubstr("printed by a library\n"), HasSubstr("written by a driver\n"),
                         HasSubstr("\nFRAMES:" + hex_of(frame) + "\n")));
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
