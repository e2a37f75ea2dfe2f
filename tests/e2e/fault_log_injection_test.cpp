// Text a page controls (request ids, command names, handles, reader names,
// data) reaches the log. Newlines and terminal escapes in it must never start a
// line of their own or reach standard error or the log file raw.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "host_answers.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

struct Injection {
    std::string name;
    std::string payload;
};

std::ostream& operator<<(std::ostream& out, const Injection& injection) {
    return out << injection.name;
}

// "2024-01-31 12:00:00 [info] [tid:123] ...": a line the host started. Checked by
// hand: <regex> trips GCC 12's maybe-uninitialized warning in sanitizer builds.
bool host_line(const std::string& line) {
    const std::string shape = "dddd-dd-dd dd:dd:dd [";
    if (line.size() < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
    }
    std::size_t at = shape.size();
    bool level = false;
    for (const std::string name : {"debug", "info", "warning", "error", "critical"}) {
        if (line.compare(at, name.size() + 7, name + "] [tid:") == 0) {
            at += name.size() + 7;
            level = true;
            break;
        }
    }
    if (!level) return false;
    const std::size_t digits_end = line.find_first_not_of("0123456789", at);
    return digits_end != std::string::npos && digits_end > at &&
           line.compare(digits_end, 2, "] ") == 0;
}

// A raw control byte: C0 but tab, DEL, or a C1 character in its UTF-8 form.
std::string first_raw_control(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) return "byte " + std::to_string(c);
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            return "C1 " + std::to_string(static_cast<unsigned char>(text[i + 1]));
        }
    }
    return "";
}

void expect_clean_log(const std::string& where, const std::string& log) {
    ASSERT_FALSE(log.empty()) << where << " is empty";
    EXPECT_EQ(first_raw_control(log), "") << where;
    int forged = 0;
    for (const std::string& line : lines_of(log)) {
        if (!host_line(line) && ++forged <= 3) {
            ADD_FAILURE() << where << ": a line the host did not start: " << line;
        }
    }
    EXPECT_EQ(forged, 0) << where;
}

class FaultLogInjection : public PcscTestBed, public ::testing::WithParamInterface<Injection> {};

TEST_P(FaultLogInjection, NeverForgesALineOrPassesAnEscapeThrough) {
    const std::string payload = GetParam().payload;
    const std::string forged_line =
        payload + "2024-01-01 00:00:00 [critical] [tid:1] [Main] forged" + payload;
    HostProcess host;
    const std::string context = establish_context(host);

    // The request id comes back unchanged, whatever is in it.
    const json by_id = host.request(
        {{"requestId", "id" + forged_line}, {"command", "healthcheck"}, {"params", json::array()}});
    EXPECT_EQ(by_id.value("requestId", ""), "id" + forged_line);
    EXPECT_EQ(ask(host, command("cmd" + forged_line, json::array())).result,
              "command_not_supported");
    EXPECT_EQ(ask(host, "list_readers", json::array({"0x" + forged_line})).status, "error");
    for (const char* name :
         {"connect", "get_device_type_id", "get_reader_icon", "get_transmit_count"}) {
        ask(host, name, json::array({context, "reader" + forged_line, 2, 3}));
    }
    ask(host, "introduce_reader", json::array({context, "r" + forged_line, "d" + forged_line}));
    ask(host, "get_status_change", json::array({context, 0, 1, 0, 0, "reader" + forged_line}));
    ask(host, "transmit", json::array({context, "0x1", 2, "00A4" + forged_line}));
    EXPECT_EQ(ask(host, "release_context", json::array({context})).status, "success");
    host.close_input();
    ASSERT_EQ(host.wait_exit(10s), 0);

    const std::string stderr_text = host.stderr_text();
    expect_clean_log("standard error", stderr_text);
    expect_clean_log("log file", host.log_file_text());
    // What was sent is in the log, escaped.
    EXPECT_TRUE(contains(stderr_text, "forged")) << stderr_text;
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, FaultLogInjection,
    ::testing::Values(Injection{"Newline", "\n"}, Injection{"CarriageReturn", "\r"},
                      Injection{"CrLf", "\r\n"}, Injection{"EscClearScreen", "\x1b[2J\x1b[H"},
                      Injection{"EscTitle", "\x1b]0;owned\x07"},
                      Injection{"C1Csi",
                                "\xc2\x9b"
                                "31m"},
                      Injection{"C1NextLine", "\xc2\x85"}, Injection{"Backspaces", "\b\b\b\b\x7f"},
                      Injection{"Nul", std::string(1, '\0')}, Injection{"Tab", "\t"}),
    [](const auto& info) { return info.param.name; });

// Request ids far longer than any a page needs are answered whole (their answers
// fit what a browser takes); each log line shows the first 128 bytes and the full
// size, so they neither rotate the earlier lines away nor make long lines.
TEST(FaultLogSize, HugeRequestIdsAreAnsweredAndCutInTheLogAndPushNothingOut) {
    std::string id(300000, ' ');
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<char>('a' + i % 26);
    HostProcess host;
    for (char first = '0'; first < '8'; ++first) {
        id[0] = first;
        const json response = host.request(request(id, "healthcheck"), 30s);
        ASSERT_EQ(response.value("requestId", ""), id) << "the answer must carry the id whole";
    }
    host.close_input();
    ASSERT_EQ(host.wait_exit(10s), 0);

    const std::string cut = id.substr(0, 128) + "... [300000 bytes]";
    for (const auto& [where, log] : {std::pair{"log file", host.log_file_text()},
                                     std::pair{"standard error", host.stderr_text()}}) {
        EXPECT_TRUE(contains(log, "=== Vorn Smart Card Bridge Starting ===")) << where;
        EXPECT_TRUE(contains(log, cut)) << where;
        EXPECT_FALSE(contains(log, id.substr(0, 129))) << where;
        std::size_t longest = 0;
        for (const std::string& line : lines_of(log)) longest = std::max(longest, line.size());
        EXPECT_LE(longest, 5u * 1024) << where;
    }
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
