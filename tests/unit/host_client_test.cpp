// The host's client against programs that misbehave as the real host never does, so
// that no end-to-end test can show what the client does then: a host that floods its
// standard error before it answers, announces a frame over the client's limit, ends
// in the middle of a frame, or outlives the end of its input.

#include "host_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace Vorn_SCard_Bridge::host_client {
namespace {

using namespace std::chrono_literals;

struct Misbehaviour {
    const char* name;
    const char* script;              // for /bin/sh; a frame's length is 4 bytes, little-endian
    std::chrono::milliseconds wait;  // for the answer
    Received expected;
    std::string text;         // FRAME: its text
    std::size_t error_kept;   // bytes of standard error kept
    std::size_t partial;      // bytes of a frame cut short
    std::optional<int> exit;  // after finish(): its exit code
};

class HostClientMisbehaviour : public testing::TestWithParam<Misbehaviour> {};

TEST_P(HostClientMisbehaviour, EndsAsItShould) {
    const Misbehaviour& host = GetParam();
    platform::ChildOptions options;
    options.program = "/bin/sh";
    options.arguments = {"-c", host.script};
    options.error = platform::ChildStream::PIPE;
    HostClient client(1024);
    std::string error;
    ASSERT_TRUE(client.start(options, error)) << error;

    std::string text;
    EXPECT_EQ(client.receive(text, host.wait), host.expected);
    if (host.expected == Received::FRAME) {
        EXPECT_EQ(text, host.text);
    }
    if (host.expected == Received::TOO_LARGE) {
        EXPECT_EQ(client.announced_length(), 0x7fffffffu);
    }
    EXPECT_EQ(client.partial_bytes(), host.partial);
    EXPECT_EQ(client.finish(200ms), host.exit);
    EXPECT_EQ(client.error_text().size(), host.error_kept);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, HostClientMisbehaviour,
    testing::Values(
        // Far more than the pipe holds: the client reads it while it waits.
        Misbehaviour{"FloodsItsErrorFirst",
                     "head -c 300000 /dev/zero | tr '\\0' e >&2; printf '\\002\\000\\000\\000{}'",
                     10s, Received::FRAME, "{}", HostClient::ERROR_KEEP, 0, 0},
        Misbehaviour{"AnnouncesTooLongAFrame", "printf '\\377\\377\\377\\177'", 10s,
                     Received::TOO_LARGE, "", 0, 0, 0},
        Misbehaviour{"EndsInsideAFrame", "printf '\\010\\000\\000\\000{\"a\"'", 10s,
                     Received::ENDED, "", 0, 8, 0},
        Misbehaviour{"OutlivesItsInput", "exec sleep 30", 100ms, Received::TIMED_OUT, "", 0, 0,
                     128 + 9}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge::host_client
