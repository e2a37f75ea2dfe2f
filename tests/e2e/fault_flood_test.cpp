// Floods a misbehaving page could send. 10,000 mixed requests pipelined in one
// go: every request with a usable envelope is answered exactly once, the others
// not at all, every frame is whole and parses. Frames of a megabyte where they
// cannot run at once, long answers or many answers with nobody reading them: the
// host's memory stays bounded (what it cannot take is refused at once as "too
// busy", and it stops reading only while its answers are not read) and every
// answer still comes, whole, also on a non-blocking output.

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <set>
#include <string>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "host_answers.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

constexpr int FLOOD = 10000;
// Only a leak detector: the host needs a few megabytes. Sanitizers keep shadow
// memory and a quarantine of freed blocks, so their bound is wider.
constexpr std::uint64_t MAX_HWM_KB = SANITIZED_BUILD ? 1024 * 1024 : 64 * 1024;
// Not a bound on the host: the longest a test gives it to take what it will take
// before looking at what it holds. A host at rest ends the wait at once.
constexpr auto SETTLE_BOUND = std::chrono::seconds(10);
// 25 contexts, within what one session may hold (32).
constexpr int ESTABLISH_EVERY = 400;

enum class Expect {
    OK,
    VERSION,
    UNSUPPORTED,
    GENERAL_ERROR,
    SUCCESS,
    VALID,  // is_valid_context: a prompt request, never refused
    INVALID_HANDLE,
    CONTEXT,
    NONE
};

struct Planned {
    std::string frame;
    std::string id;  // empty when no answer is due
    Expect expect;
};

// Requests that get no answer: unusable envelopes and frames that never parse.
std::string unanswered(int n) {
    switch (n % 8) {
        case 0:
            return frame_of(request("", "healthcheck"));
        case 1:
            return frame_of(
                {{"requestId", 5}, {"command", "healthcheck"}, {"params", json::array()}});
        case 2:
            return frame_of({{"command", "healthcheck"}, {"params", json::array()}});
        case 3:
            return frame_of({{"requestId", "x"}, {"params", json::array()}});
        case 4:
            return frame_of(json::array({1, 2, 3}));
        case 5:
            return HostProcess::frame("{\"requestId\":\"broken\",");
        case 6:
            return HostProcess::frame("null");
        default:
            return std::string(4, '\0');  // a frame of length 0
    }
}

Planned plan(int i, const std::string& context) {
    const std::string id = "m" + std::to_string(i);
    switch (i % 10) {
        case 0:
            return {frame_of(request(id, "healthcheck")), id, Expect::OK};
        case 1:
            return {frame_of(request(id, "get_version")), id, Expect::VERSION};
        case 2:
            return {frame_of(request(id, "no_such_command")), id, Expect::UNSUPPORTED};
        case 3:
            return {frame_of({{"requestId", id}, {"command", "release_context"}}), id,
                    Expect::GENERAL_ERROR};
        case 4:
            return {frame_of(request(id, "transmit", {1, 2, "x", 4})), id, Expect::GENERAL_ERROR};
        case 5:
            return {frame_of(request(id, "list_readers", {context})), id, Expect::SUCCESS};
        case 6:
            return {frame_of(request(id, "is_valid_context", {context})), id, Expect::VALID};
        case 7:
            return {unanswered(i / 10), "", Expect::NONE};
        case 8:
            if (i % ESTABLISH_EVERY == 8) {
                return {frame_of(request(id, "establish_context")), id, Expect::CONTEXT};
            }
            return {frame_of(request(id, "get_version")), id, Expect::VERSION};
        default:
            return {frame_of(request(id, "release_context", {"0x00000001"})), id,
                    Expect::INVALID_HANDLE};
    }
}

bool as_expected(Expect expect, const Answer& answer, std::vector<std::string>& contexts) {
    const Strings result = answer.strings();
    switch (expect) {
        case Expect::OK:
            return answer == success({"OK"});
        case Expect::VERSION:
            return answer.status == "success" && answer.result == "1.0.0";
        case Expect::UNSUPPORTED:
            return answer.status == "error" && answer.result == "command_not_supported";
        case Expect::GENERAL_ERROR:
            return answer.status == "error" && result.size() == 2 && result[0] == GENERAL_ERROR;
        case Expect::SUCCESS:
        case Expect::VALID:
            return answer.status == "success" && !result.empty() && result[0] == "0x00000000";
        case Expect::INVALID_HANDLE:
            return answer.status == "error" && result.size() == 2 && result[0] == "0x80100003";
        case Expect::CONTEXT:
            if (answer.status != "success" || result.size() != 2) return false;
            contexts.push_back(result[1]);
            return true;
        case Expect::NONE:
            return false;
    }
    return false;
}

class FaultFlood : public PcscTestBed {};

TEST_F(FaultFlood, TenThousandMixedRequestsAreEachAnsweredOnceInWholeFrames) {
    HostProcess host;
    const std::string context = establish_context(host);
    ASSERT_FALSE(context.empty());

    std::string flood;
    std::map<std::string, Expect> due;
    for (int i = 0; i < FLOOD; ++i) {
        Planned planned = plan(i, context);
        flood += planned.frame;
        if (!planned.id.empty()) due[planned.id] = planned.expect;
    }
    // A request behind the flood, answered once everything before it was read.
    flood += frame_of(request("last", "healthcheck"));
    // Written while the answers are read: the host stops reading when too many
    // wait to be written.
    BackgroundWriter writer(host, 1, [&flood](int) { return flood; });

    std::map<std::string, int> answered;
    std::vector<std::string> contexts;
    int wrong = 0;
    int busy = 0;
    while (answered.size() < due.size() + 1) {
        // Per frame, so a lost answer fails after one bound instead of hanging.
        const auto text = host.receive_text(30s);
        ASSERT_TRUE(text.has_value())
            << "answers stopped after " << answered.size() << " of " << due.size() + 1;
        const json response = json::parse(*text, nullptr, false);
        ASSERT_TRUE(response.is_object()) << "not a whole JSON frame: " << text->substr(0, 200);
        const std::string id = response.value("requestId", "");
        ASSERT_EQ(++answered[id], 1) << "answered twice: " << id;
        if (id == "last") continue;
        const auto expected = due.find(id);
        ASSERT_NE(expected, due.end()) << "answer to a request that was not due: " << *text;
        // Past the budget what is not prompt is refused at once.
        const bool prompt = expected->second == Expect::OK || expected->second == Expect::VERSION ||
                            expected->second == Expect::VALID;
        if (!prompt && answer_of(response) == BUSY) {
            ++busy;
            continue;
        }
        if (!as_expected(expected->second, answer_of(response), contexts) && ++wrong <= 5) {
            ADD_FAILURE() << "unexpected answer: " << *text;
        }
    }
    EXPECT_EQ(wrong, 0);
    ASSERT_TRUE(writer.finished(PROMPT));
    // Nothing more comes: the unusable envelopes were not answered late either.
    host.send(request("after", "healthcheck"));
    EXPECT_EQ(answer_of(host.response_for("after", 15s)), success({"OK"}));

    const auto hwm = proc_status_value(host.pid(), "VmHWM");
    const auto threads = proc_status_value(host.pid(), "Threads");
    ASSERT_TRUE(hwm.has_value());
    std::cout << "[ flood ] " << FLOOD << " requests (" << busy << " refused as busy): host VmHWM "
              << *hwm << " kB, " << threads.value_or(0) << " threads" << std::endl;
    RecordProperty("VmHWM_kB", std::to_string(*hwm));
    EXPECT_LT(*hwm, MAX_HWM_KB);

    for (const std::string& established : contexts) {
        EXPECT_EQ(ask(host, "release_context", json::array({established})).status, "success");
    }
    EXPECT_EQ(ask(host, "release_context", json::array({context})).status, "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(10s), 0);
    const SplitOutput split = split_frames(host.all_output());
    EXPECT_TRUE(split.rest.empty());
    EXPECT_FALSE(has_crash_report(host.stderr_text()));
}

// Reads up to `count` answers (each bounded), all due to be healthchecks; how
// many distinct requests were answered before they stopped.
std::size_t healthchecks_answered(HostProcess& host, std::size_t count) {
    std::set<std::string> answered;
    while (answered.size() < count) {
        const auto text = host.receive_text(30s);
        if (!text) break;
        const json response = json::parse(*text, nullptr, false);
        if (!response.is_object()) {
            ADD_FAILURE() << "not a whole frame after " << answered.size() << " answers";
            break;
        }
        EXPECT_EQ(answer_of(response), success({"OK"}));
        answered.insert(response.value("requestId", ""));
    }
    return answered.size();
}

// Every one of `count` healthchecks answered (memory still bounded when `what` is
// given), the writer done, and the host ending with the input.
void expect_all_answered_then_exit(HostProcess& host, BackgroundWriter& writer, int count,
                                   const char* what = nullptr) {
    EXPECT_EQ(healthchecks_answered(host, count), static_cast<std::size_t>(count));
    if (what != nullptr) expect_bounded_memory(host, what);
    EXPECT_TRUE(writer.finished(PROMPT));
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

// Frames near the size limit, whose parsed form is many times their size, sent
// where they cannot run at once: the host refuses what the service would refuse
// before keeping it, and what it has no room for as "too busy".
class FaultMemory : public PcscTestBed {
protected:
    // A frame of about 1 MB: the text of `params`, with a request id of its own.
    static std::string big_frame(const std::string& id, const std::string& name,
                                 const std::string& params_text) {
        return HostProcess::frame(R"({"requestId":")" + id + R"(","command":")" + name +
                                  R"(","params":)" + params_text + "}");
    }
};

TEST_F(FaultMemory, WaitsOnMoreReadersThanTheServiceTakesAreRefusedAtOnceBehindALongWait) {
    HostProcess host;
    const std::string context = establish_context(host);
    ASSERT_FALSE(context.empty());
    // Long enough to outlast the 40 refusals on a slow (sanitized, loaded) build: 40 MB
    // of JSON to parse took over 30 s under ThreadSanitizer on a busy machine.
    host.send(request("long", "get_status_change",
                      {context, 300000, 1, pnp_known_state(), 0, PNP_NOTIFICATION}));
    json params = json::array({context, 0, 100});
    for (int i = 0; i < 40000; ++i) params.insert(params.end(), {0, 0, VPCD_READER_1});
    const std::string params_text = params.dump();
    BackgroundWriter writer(host, 40, [&params_text](int i) {
        return big_frame("many" + std::to_string(i), "get_status_change", params_text);
    });

    const Answer refused =
        failure("0x80100004",
                "Error in handle_smartcard_get_status_change: One or more of the supplied "
                "parameters could not be properly interpreted");
    bool wait_ended_first = false;
    int too_many_records = 0;
    for (int answered = 0; answered < 40;) {
        const auto response = host.receive(40s);
        ASSERT_TRUE(response.has_value()) << "answer " << answered << " never came";
        if (response->value("requestId", "") == "long") {
            wait_ended_first = true;
            continue;
        }
        // Each is parsed whole when the budget has room, else refused unparsed.
        const Answer answer = answer_of(*response);
        if (answer == refused) {
            ++too_many_records;
        } else {
            EXPECT_EQ(answer, BUSY);
        }
        ++answered;
    }
    EXPECT_GE(too_many_records, 1) << "the first one came with room for it";
    EXPECT_FALSE(wait_ended_first) << "the oversized waits were queued behind the long wait";
    expect_bounded_memory(host, "40 oversized waits behind a long one");
    if (!wait_ended_first) {
        EXPECT_EQ(ask(host, "cancel", json::array({context}), PROMPT), success({"0x00000000"}));
        EXPECT_EQ(answer_of(host.response_for("long", PROMPT)), WAIT_CANCELLED);
    }
}

TEST_F(FaultMemory, TenOneMegabyteFramesBehindSixtyFourEndlessWaitsAreAllAnswered) {
    HostProcess host;
    const std::string context = establish_context(host);
    ASSERT_FALSE(context.empty());
    std::string waits;
    for (int i = 0; i < 64; ++i)
        waits += frame_of(endless_pnp_wait("w" + std::to_string(i), context));
    host.send_raw(waits);
    // 340,000 empty objects: 1 MB of text, tens of MB once parsed, so that ten
    // of them kept at once are past the bound.
    std::string objects = "[{}";
    for (int i = 1; i < 340000; ++i) objects += ",{}";
    objects += "]";
    const int frames = 10;
    BackgroundWriter writer(host, frames, [&objects](int i) {
        return big_frame("big" + std::to_string(i), "healthcheck", objects);
    });

    expect_all_answered_then_exit(host, writer, frames, "frames of 1 MB behind 64 endless waits");
}

// Answers nobody reads pile up to a bound; then the host stops reading, and goes
// on once they are read.
TEST_F(FaultMemory, WithItsOutputUnreadTheHostStopsReadingThenAnswersEveryRequestWhole) {
    HostProcess host;
    // Answers of 4 kB: 20 MB of them, more than the host holds unwritten.
    const std::string padding(4000, 'i');
    const int requests = 5000;
    BackgroundWriter writer(host, requests, [&padding](int i) {
        return frame_of(request(std::to_string(i) + padding, "healthcheck"));
    });
    // Until it rests with requests left unread in its input (or has read them all).
    rests_within(host, SETTLE_BOUND, [&] { return writer.done() || host.unread_input() > 0; });
    EXPECT_FALSE(writer.done()) << "every request was read while no answer could leave";
    expect_bounded_memory(host, "5,000 answers of 4 kB with the output unread");

    expect_all_answered_then_exit(host, writer, requests, "5,000 answers of 4 kB, all answered");
}

// The longest answers a card gives (65,538 bytes, 131 kB as text), 600 of them on
// one card while nobody reads: each is held once, as its frame, and written
// without being copied into a batch.
TEST_F(FaultMemory, SixHundredLongestTransmitAnswersWithTheOutputUnreadStayBounded) {
    const std::string read_all = "00B00000000000";
    card().respond(hex(read_all), patterned_response(MAX_RESPONSE_DATA));
    insert_card();
    HostProcess host;
    const std::string context = establish_context(host);
    const std::string card_handle = connect_card(host, context, VPCD_READER_0);
    ASSERT_FALSE(card_handle.empty());
    const std::string data = to_hex(patterned_response(MAX_RESPONSE_DATA));
    const int requests = 600;
    BackgroundWriter writer(host, requests, [&](int i) {
        return frame_of(
            request("t" + std::to_string(i), "transmit", {context, card_handle, 2, read_all}));
    });
    // Until the answers have piled up and the host rests.
    rests_within(host, SETTLE_BOUND);
    expect_bounded_memory(host, "600 transmit answers of 65,538 bytes with the output unread");

    int full = 0;
    int busy = 0;
    for (int answered = 0; answered < requests; ++answered) {
        const auto response = host.receive(30s);
        ASSERT_TRUE(response.has_value()) << "answers stopped after " << answered;
        const Answer answer = answer_of(*response);
        if (answer == BUSY) {
            ++busy;
        } else if (answer == success({"0x00000000", context, card_handle, "2", data})) {
            ++full;
        } else {
            ADD_FAILURE() << "unexpected answer: " << answer.result.dump().substr(0, 200);
        }
    }
    std::cout << "[ memory ] " << full << " answered in full, " << busy << " refused as busy"
              << std::endl;
    EXPECT_GE(full, 256) << "the budget's requests were not all run";
    expect_bounded_memory(host, "600 transmit answers of 65,538 bytes, all read");
    EXPECT_TRUE(writer.finished(PROMPT));
    host.close_input();
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

// Standard input and output on one non-blocking socket, and a reader that
// starts late: the host waits for room to write, never cutting a frame.
TEST(FaultNonBlockingOutput, ThreeThousandAnswersArriveWholeWhenTheReaderStartsLate) {
    HostOptions options;
    options.stdio = HostStdio::NonBlockingSocket;
    HostProcess host(options);
    const std::string padding(2000, 'n');
    BackgroundWriter writer(host, 3000, [&padding](int i) {
        return frame_of(request(std::to_string(i) + padding, "healthcheck"));
    });
    // Until the host rests with its output full.
    rests_within(host, SETTLE_BOUND);

    expect_all_answered_then_exit(host, writer, 3000);
    // Whole frames only: a cut one shows as bytes left after the last frame.
    EXPECT_EQ(answers_by_id(host.all_output()).size(), 3000u);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
