// The frame reader: a 4-byte native-order length and that many bytes of JSON.
// Cases are named by the fault in the input; each lists what every successive
// read_message call returns and the lines (info and above) it logs.

#include "messaging/message_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "messaging/byte_source.h"
#include "messaging/frame_codec.h"
#include "platform/child_process.h"
#include "platform/fd_events.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

const std::string READER = "[MessageReader::read_message] ";

std::string for_request(const std::string& request_id) {
    return "[MessageReader::read_message req:" + request_id + "] ";
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes raw(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes header(std::uint32_t length) { return raw(framing::encode_header(length)); }
Bytes frame(const std::string& text) { return raw(framing::encode_frame(text)); }

// The JSON library's own description of why a text does not parse.
std::string parse_error_of(const std::string& text) {
    try {
        const json parsed = json::parse(text);
        return "(parsed: " + parsed.dump() + ")";
    } catch (const json::exception& e) {
        return e.what();
    }
}

std::string type_error_of_string_read(const json& value) {
    try {
        (void)value.get<std::string>();
    } catch (const json::exception& e) {
        return e.what();
    }
    return "(converted)";
}

// The parse failure as the reader words it; its newlines are escaped in the log.
std::string parse_failure_line(const std::string& description, const std::string& echo) {
    return READER + "Error parsing message: " + description + "\\nText: " + echo + "\\n";
}

std::string request(const std::string& request_id) {
    return R"({"command":"healthcheck","params":[],"requestId":")" + request_id + R"("})";
}

// What read_message gives at the end of the input: no request at all.
const std::optional<json> INPUT_ENDED = std::nullopt;

struct Expected {
    std::optional<json> returned;
    std::vector<std::pair<std::string, std::string>> lines;  // level, text; debug excluded
};

Expected end_of_input() {
    return {INPUT_ENDED, {{"info", READER + "Pipe closed by Chrome, exiting..."}}};
}

Expected received(const std::string& request_id) {
    return {json::parse(request(request_id)),
            {{"info", for_request(request_id) + "Message received and parsed successfully"}}};
}

struct ReaderCase {
    std::string name;
    Bytes input;
    std::vector<Expected> calls;
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::pair<std::string, std::string>> reader_lines(
    const std::vector<vorn_test::LogLine>& lines, bool with_debug) {
    std::vector<std::pair<std::string, std::string>> selected;
    for (const auto& line : vorn_test::lines_starting_with(lines, "[MessageReader::")) {
        if (with_debug || line.level != "debug") selected.emplace_back(line.level, line.text);
    }
    return selected;
}

// Delivers its bytes one at a time, as a pipe may.
class TricklingSource : public ByteSource {
public:
    explicit TricklingSource(Bytes bytes) : bytes(std::move(bytes)) {}
    ReadResult read_some(std::uint8_t* buffer, std::size_t size) override {
        if (offset >= bytes.size()) return {ReadStatus::END, 0};
        if (size == 0) return {ReadStatus::OK, 0};
        buffer[0] = bytes[offset++];
        return {ReadStatus::OK, 1};
    }

private:
    Bytes bytes;
    std::size_t offset = 0;
};

void run_case(ByteSource& source, const ReaderCase& c) {
    for (std::size_t i = 0; i < c.calls.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i + 1));
        vorn_test::StderrCapture capture;
        const std::optional<json> returned = read_message(source);
        const auto lines = reader_lines(capture.take_lines(), false);
        EXPECT_EQ(returned, c.calls[i].returned);
        EXPECT_EQ(lines, c.calls[i].lines);
    }
}

class ReadMessage : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReadMessage, ReturnsAndLogsWhatTheFrameDeserves) {
    const Bytes& input = GetParam().input;
    MemoryByteSource source(input.data(), input.size());
    run_case(source, GetParam());
}

std::vector<ReaderCase> reader_cases() {
    std::vector<ReaderCase> cases;

    cases.push_back({"SeveralGoodMessagesInARow",
                     join({frame(request("a")), frame(request("b")), frame(request("c"))}),
                     {received("a"), received("b"), received("c"), end_of_input()}});

    cases.push_back({"EndOfInputBeforeAnyFrame", {}, {end_of_input(), end_of_input()}});
    for (int bytes = 1; bytes <= 3; ++bytes) {
        const Bytes length = header(5);
        cases.push_back({"ShortHeader" + std::to_string(bytes) + "Bytes",
                         Bytes(length.begin(), length.begin() + bytes),
                         {end_of_input()}});
    }

    cases.push_back({"InvalidLengthZero",
                     join({header(0), frame(request("next"))}),
                     {{json(nullptr), {{"warning", READER + "Zero length message received"}}},
                      received("next"),
                      end_of_input()}});

    // The announced text of a refused frame is skipped, so the frame after it is
    // read from its own length.
    cases.push_back(
        {"TooLargeThenNextFrameReadCorrectly",
         join({header(MAX_MESSAGE_SIZE + 1), Bytes(MAX_MESSAGE_SIZE + 1, '{'),
               frame(request("after-large"))}),
         {{json(nullptr), {{"error", READER + "Message too large: 1048577 bytes (max: 1048576)"}}},
          received("after-large"),
          end_of_input()}});

    cases.push_back({"TooLargeAndInputEndsInsideIt",
                     join({header(0xFFFFFFFFu), Bytes(100, 'x')}),
                     {{json(nullptr),
                       {{"error", READER + "Message too large: 4294967295 bytes (max: 1048576)"}}},
                      end_of_input()}});

    {
        const std::string head = R"({"command":"c","params":[],"requestId":"big","pad":")";
        const std::string tail = "\"}";
        const std::string text =
            head + std::string(MAX_MESSAGE_SIZE - head.size() - tail.size(), 'p') + tail;
        cases.push_back(
            {"ExactlyTheLimitAccepted",
             frame(text),
             {{json::parse(text),
               {{"info", for_request("big") + "Message received and parsed successfully"}}},
              end_of_input()}});
    }

    cases.push_back(
        {"ShortBodyThenEnd",
         join({header(10), raw("abcd")}),
         {{json(nullptr), {{"error", READER + "Error reading full message. Expected: 10, Got: 4"}}},
          end_of_input()}});

    cases.push_back(
        {"HeaderWithoutBody",
         header(7),
         {{json(nullptr), {{"error", READER + "Error reading full message. Expected: 7, Got: 0"}}},
          end_of_input()}});

    const auto invalid_json = [&](const std::string& name, const std::string& text,
                                  const std::string& echo) {
        std::string line = parse_failure_line(parse_error_of(text), echo);
        // A byte that is not UTF-8 reaches the log escaped.
        for (std::size_t at = line.find('\xFF'); at != std::string::npos; at = line.find('\xFF'))
            line.replace(at, 1, "\\xFF");
        cases.push_back({name,
                         join({frame(text), frame(request("ok"))}),
                         {{json(nullptr), {{"error", line}}}, received("ok"), end_of_input()}});
    };
    invalid_json("InvalidJson", "{bad", "{bad");
    invalid_json("BlankText", "  ", "  ");
    invalid_json("TrailingGarbage", request("x") + "x", request("x") + "x");
    invalid_json("TwoValues", "{} {}", "{} {}");
    invalid_json("Comment", "/* c */ {}", "/* c */ {}");
    invalid_json("InvalidJsonEchoedWholeAt500Bytes", std::string(500, 'x'), std::string(500, 'x'));
    invalid_json("InvalidJsonEchoCutAfter500Bytes", std::string(501, 'x'),
                 std::string(500, 'x') + "...");
    invalid_json("LongInvalidJsonEchoCut", std::string(600, 'y'), std::string(500, 'y') + "...");
    {
        // Ill-formed UTF-8 inside a string (a lone 0xFF byte).
        const std::string text =
            R"({"command":"c","params":[],"requestId":"r","x":")" + std::string("\xFF") + "\"}";
        invalid_json("InvalidUtf8Refused", text, text);
    }

    for (const std::string& null_text : {std::string("null"), std::string(" null ")}) {
        const std::string line =
            READER + "Error parsing message (null result)\\nText: " + null_text + "\\n";
        cases.push_back({null_text == "null" ? "JsonNull" : "JsonNullWithBlanks",
                         join({frame(null_text), frame(request("ok"))}),
                         {{json(nullptr), {{"error", line}}}, received("ok"), end_of_input()}});
    }

    const auto incomplete = [&](const std::string& name, const std::string& text,
                                const std::string& missing) {
        cases.push_back(
            {name,
             frame(text),
             {{json::parse(text),
               {{"error", READER + "Error incomplete message received. Missing: " + missing}}},
              end_of_input()}});
    };
    incomplete("EmptyArrayIsIncomplete", "[]", "command requestId params ");
    incomplete("NumberIsIncomplete", "5", "command requestId params ");
    incomplete("StringIsIncomplete", "\"text\"", "command requestId params ");
    incomplete("EmptyObjectIsIncomplete", "{}", "command requestId params ");
    incomplete("MissingOnlyRequestId", R"({"command":"c","params":[]})", "requestId ");
    incomplete("MissingOnlyCommand", R"({"requestId":"r","params":[]})", "command ");
    incomplete("MissingCommandAndParams", R"({"requestId":"r"})", "command params ");

    const auto bad_request_id = [&](const std::string& name, const json& id) {
        const json value = {{"command", "c"}, {"requestId", id}, {"params", json::array()}};
        cases.push_back(
            {name,
             frame(value.dump()),
             {{value, {{"error", READER + type_error_of_string_read(id)}}}, end_of_input()}});
    };
    bad_request_id("RequestIdNumberReturnedWithOneErrorLine", 5);
    bad_request_id("RequestIdNullReturnedWithOneErrorLine", nullptr);
    bad_request_id("RequestIdArrayReturnedWithOneErrorLine", json::array({"r"}));

    {
        // The object is level 1 and "params" level 2: 126 more arrays make 128.
        std::string text = R"({"command":"c","requestId":"deep","params":)";
        text += std::string(127, '[') + std::string(127, ']') + "}";
        cases.push_back(
            {"Nesting128Accepted",
             frame(text),
             {{json::parse(text),
               {{"info", for_request("deep") + "Message received and parsed successfully"}}},
              end_of_input()}});

        std::string deeper = R"({"command":"c","requestId":"deep","params":)";
        deeper += std::string(128, '[') + std::string(128, ']') + "}";
        const std::string line = parse_failure_line("JSON nesting deeper than 128 levels", deeper);
        cases.push_back({"Nesting129Refused",
                         join({frame(deeper), frame(request("ok"))}),
                         {{json(nullptr), {{"error", line}}}, received("ok"), end_of_input()}});

        // Unbalanced and far deeper: refused before the parser recurses.
        const std::string bomb(100000, '[');
        const std::string bomb_line = parse_failure_line("JSON nesting deeper than 128 levels",
                                                         std::string(500, '[') + "...");
        cases.push_back({"NestingBombRefused",
                         frame(bomb),
                         {{json(nullptr), {{"error", bomb_line}}}, end_of_input()}});
    }
    {
        // Brackets inside strings are text, not nesting.
        const std::string text =
            R"({"command":"c","requestId":"s","params":[")" + std::string(300, '[') + R"(\"]"]})";
        cases.push_back(
            {"BracketsInStringsAreNotNesting",
             frame(text),
             {{json::parse(text),
               {{"info", for_request("s") + "Message received and parsed successfully"}}},
              end_of_input()}});
    }
    {
        const std::string text = R"({"command":"c","requestId":"\u00e9\u20ac","params":["caf)" +
                                 std::string("\xC3\xA9") + "\"]}";
        cases.push_back({"Utf8TextAccepted",
                         frame(text),
                         {{json::parse(text),
                           {{"info", for_request("\xC3\xA9\xE2\x82\xAC") +
                                         "Message received and parsed successfully"}}},
                          end_of_input()}});
    }
    {
        // Any id is taken, however long: the answer's size is checked when it is sent.
        const std::string long_id(300000, 'i');
        cases.push_back({"LongRequestIdAccepted",
                         frame(request(long_id)),
                         {{json::parse(request(long_id)),
                           // The log cuts what a page sends.
                           {{"info", for_request(long_id.substr(0, 128) + "... [300000 bytes]") +
                                         "Message received and parsed successfully"}}},
                          end_of_input()}});
        // Without "params" a request is no less complete.
        const std::string bare = R"({"command":"c","requestId":"r"})";
        cases.push_back(
            {"MissingOnlyParamsIsAWholeRequest",
             frame(bare),
             {{json::parse(bare),
               {{"info", for_request("r") + "Message received and parsed successfully"}}},
              end_of_input()}});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReadMessage,
    ::testing::ValuesIn(vorn_test::cases_unless_death_test_child(reader_cases)),
    [](const auto& info) { return info.param.name; });

struct EnvelopeCase {
    const char* name;
    std::string text;
    json returned;
};

class ReadEnvelope : public ::testing::TestWithParam<EnvelopeCase> {};

// A frame the host will refuse is parsed for whom to answer and what was asked
// alone; everything else is skipped without being kept.
TEST_P(ReadEnvelope, KeepsOnlyTheRequestIdAndTheCommand) {
    const Bytes input = frame(GetParam().text);
    MemoryByteSource source(input.data(), input.size());
    std::uint32_t asked = 0;
    vorn_test::StderrCapture capture;
    const ReadRequest read = read_request(source, [&asked](std::uint32_t length) {
        asked = length;
        return Admission{FrameReading::ENVELOPE, {}, true};
    });
    const json& returned = read.request;
    EXPECT_EQ(returned, GetParam().returned);
    EXPECT_EQ(asked, GetParam().text.size());
    for (const auto& line : reader_lines(capture.take_lines(), false)) {
        EXPECT_EQ(line.second.find("Missing"), std::string::npos) << line.second;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReadEnvelope,
    ::testing::Values(
        EnvelopeCase{"ParamsSkipped",
                     R"({"requestId":"r","command":"transmit","params":[{"a":[1,2,{}]},"x"]})",
                     json{{"requestId", "r"}, {"command", "transmit"}}},
        EnvelopeCase{"NoParamsNeeded", R"({"command":"cancel","requestId":"r"})",
                     json{{"requestId", "r"}, {"command", "cancel"}}},
        EnvelopeCase{
            "MembersOfTheSameNameDeeperAreSkipped",
            R"({"extra":{"requestId":"deep","command":"no"},"requestId":"r","command":"c"})",
            json{{"requestId", "r"}, {"command", "c"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadMessageAdmission, AFrameTheHostStopsForIsNotRead) {
    const Bytes input = frame(request("a"));
    MemoryByteSource source(input.data(), input.size());
    const ReadRequest read = read_request(source, [](std::uint32_t) {
        return Admission{FrameReading::STOP, {}, false};
    });
    EXPECT_FALSE(read.input_ended);
    EXPECT_EQ(read.request, json());
    std::uint8_t next = 0;
    EXPECT_EQ(source.read_some(&next, 1).status, ReadStatus::OK) << "the text was read";
    EXPECT_EQ(next, '{');
}

// The same frames arriving one byte per read, as a pipe may deliver them, give
// the same results (the megabyte cases are left out: byte by byte they are slow).
class ReadMessageTrickled : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReadMessageTrickled, SameAsInOnePiece) {
    TricklingSource source(GetParam().input);
    run_case(source, GetParam());
}

std::vector<ReaderCase> small_reader_cases() {
    std::vector<ReaderCase> small;
    for (ReaderCase& c : reader_cases()) {
        if (c.input.size() <= 64 * 1024) small.push_back(std::move(c));
    }
    return small;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReadMessageTrickled,
    ::testing::ValuesIn(vorn_test::cases_unless_death_test_child(small_reader_cases)),
    [](const auto& info) { return info.param.name; });

TEST(ReadMessageLines, GoodMessageLogsEveryStep) {
    const Bytes input = frame(request("r1"));
    MemoryByteSource source(input.data(), input.size());
    vorn_test::StderrCapture capture;
    EXPECT_EQ(read_message(source), std::optional<json>(json::parse(request("r1"))));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"debug", READER + "Reading message length"},
        {"debug",
         READER + "Reading message content (length: " + std::to_string(request("r1").size()) + ")"},
        {"debug", READER + "Parsing JSON message"},
        {"info", for_request("r1") + "Message received and parsed successfully"}};
    EXPECT_EQ(reader_lines(capture.take_lines(), true), expected);
}

// A source that fails in a way other than ending.
class BrokenSource : public ByteSource {
public:
    BrokenSource(Bytes first, ReadStatus then) : first(std::move(first)), then(then) {}
    ReadResult read_some(std::uint8_t* buffer, std::size_t size) override {
        if (offset < first.size()) {
            const std::size_t count = std::min(size, first.size() - offset);
            std::memcpy(buffer, first.data() + offset, count);
            offset += count;
            return {ReadStatus::OK, count};
        }
        return {then, 0, then == ReadStatus::FAILED ? EBADF : 0};
    }

private:
    Bytes first;
    ReadStatus then;
    std::size_t offset = 0;
};

struct BrokenCase {
    const char* name;
    ReadStatus status;
};

class ReadMessageBrokenSource : public ::testing::TestWithParam<BrokenCase> {};

// An interrupted read is tried again on the next turn; an input that cannot be read
// at all (closed, write-only) ends the host like the end of input, once, never a spin.
TEST_P(ReadMessageBrokenSource, FailedLengthIsRetriedOnlyWhenInterrupted) {
    BrokenSource source({}, GetParam().status);
    vorn_test::StderrCapture capture;
    const bool failed = GetParam().status == ReadStatus::FAILED;
    EXPECT_EQ(read_message(source), failed ? INPUT_ENDED : std::optional<json>(json(nullptr)));
    using Line = std::pair<std::string, std::string>;
    const Line outcome =
        failed ? Line{"error",
                      READER + "Failed to read message length: Bad file descriptor, exiting..."}
               : Line{"debug", READER + "Failed to read message length, clearing cin state"};
    const std::vector<Line> expected = {{"debug", READER + "Reading message length"}, outcome};
    EXPECT_EQ(reader_lines(capture.take_lines(), true), expected);
}

TEST_P(ReadMessageBrokenSource, FailedBodyGivesNullAndCountsWhatArrived) {
    BrokenSource source(join({header(20), raw("{\"a\":")}), GetParam().status);
    vorn_test::StderrCapture capture;
    EXPECT_EQ(read_message(source), std::optional<json>(json(nullptr)));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"error", READER + "Error reading full message. Expected: 20, Got: 5"}};
    EXPECT_EQ(reader_lines(capture.take_lines(), false), expected);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ReadMessageBrokenSource,
                         ::testing::Values(BrokenCase{"Failed", ReadStatus::FAILED},
                                           BrokenCase{"Interrupted", ReadStatus::INTERRUPTED}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- over a pipe

// A pipe whose ends are closed by the destructor: a plain one, or a notice pipe
// (neither end blocks, notices wake a reader that watches it).
struct Pipe {
    int read_end = -1;
    int write_end = -1;
    explicit Pipe(bool notices = false) {
        int fds[2];
        if (notices ? platform::make_notice_pipe(fds) : platform::make_pipe(fds)) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~Pipe() {
        close_write();
        if (read_end >= 0) ::close(read_end);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void write_all(const Bytes& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t wrote = ::write(write_end, bytes.data() + done, bytes.size() - done);
            if (wrote <= 0) return;
            done += static_cast<std::size_t>(wrote);
        }
    }
    void close_write() {
        if (write_end >= 0) ::close(write_end);
        write_end = -1;
    }
};

// read_message on another thread, so that a read that never returns fails the
// test instead of hanging it; the source must outlive a read that timed out. The
// request's text, "end of input" or "timed out".
std::string read_within(const std::shared_ptr<FdByteSource>& source,
                        const std::shared_ptr<Pipe>& pipe) {
    auto result = std::make_shared<std::optional<json>>();
    // The pipe stays open for as long as a stuck read might use it.
    if (!vorn_test::finishes_within([source, pipe, result] { *result = read_message(*source); },
                                    vorn_test::WAIT_LIMIT)) {
        return "timed out";
    }
    return *result ? (*result)->dump() : "end of input";
}

TEST(ReadMessageFromPipe, SeveralFramesInOneWriteThenEndOfInput) {
    auto pipe = std::make_shared<Pipe>();
    auto source = std::make_shared<FdByteSource>(pipe->read_end);
    pipe->write_all(join({frame(request("a")), frame(request("b"))}));
    EXPECT_EQ(read_within(source, pipe), json::parse(request("a")).dump());
    EXPECT_EQ(read_within(source, pipe), json::parse(request("b")).dump());
    pipe->close_write();
    EXPECT_EQ(read_within(source, pipe), "end of input");
}

TEST(ReadMessageFromPipe, FrameSplitAcrossWritesIsReassembled) {
    auto pipe = std::make_shared<Pipe>();
    auto source = std::make_shared<FdByteSource>(pipe->read_end);
    const Bytes whole = frame(request("split"));
    auto result = std::make_shared<std::optional<json>>();
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([source, pipe, result, done] {
        *result = read_message(*source);
        done->set_value();
    }).detach();
    // Header in two pieces, then the text in two pieces.
    pipe->write_all(Bytes(whole.begin(), whole.begin() + 2));
    pipe->write_all(Bytes(whole.begin() + 2, whole.begin() + 7));
    pipe->write_all(Bytes(whole.begin() + 7, whole.end()));
    ASSERT_EQ(finished.wait_for(vorn_test::WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(*result, std::optional<json>(json::parse(request("split"))));
}

TEST(ReadMessageFromPipe, NonBlockingDescriptorWaitsForData) {
    auto pipe = std::make_shared<Pipe>(true);
    auto source = std::make_shared<FdByteSource>(pipe->read_end);
    auto result = std::make_shared<std::optional<json>>();
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([source, pipe, result, done] {
        *result = read_message(*source);
        done->set_value();
    }).detach();
    pipe->write_all(frame(request("late")));
    ASSERT_EQ(finished.wait_for(vorn_test::WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(*result, std::optional<json>(json::parse(request("late"))));
}

// The wake pipe wakes a reader that waits for input: it returns JSON null
// (nothing to do), and the host loop then sees that its run is closed.
TEST(ReadMessageFromPipe, WakePipeInterruptsAWaitingRead) {
    auto input = std::make_shared<Pipe>();
    auto wake = std::make_shared<Pipe>(true);
    auto source = std::make_shared<FdByteSource>(input->read_end, wake->read_end);
    auto result = std::make_shared<std::optional<json>>(json("unset"));
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([source, result, done, input, wake] {
        *result = read_message(*source);
        done->set_value();
    }).detach();
    platform::notify(wake->write_end);
    ASSERT_EQ(finished.wait_for(vorn_test::WAIT_LIMIT), std::future_status::ready)
        << "the wake pipe did not end the wait";
    EXPECT_EQ(*result, std::optional<json>(json(nullptr)));
    // Once woken, every later read reports the interruption as well.
    input->write_all(frame(request("x")));
    EXPECT_EQ(read_within(source, input), "null");
}

struct NestingCase {
    const char* name;
    std::string text;
    std::size_t limit;
    bool exceeds;
};

class JsonNesting : public ::testing::TestWithParam<NestingCase> {};

TEST_P(JsonNesting, CountsOnlyBracketsOutsideStrings) {
    const NestingCase& c = GetParam();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.text.data());
    EXPECT_EQ(json_nesting_exceeds(bytes, c.text.size(), c.limit), c.exceeds) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonNesting,
    ::testing::Values(NestingCase{"Flat", "[1,2,3]", 1, false},
                      NestingCase{"TwoLevelsLimitOne", "[[1]]", 1, true},
                      NestingCase{"ObjectsCount", R"({"a":{"b":1}})", 1, true},
                      NestingCase{"MixedAtLimit", R"({"a":[{"b":1}]})", 3, false},
                      NestingCase{"MixedOverLimit", R"({"a":[{"b":[]}]})", 3, true},
                      NestingCase{"SiblingsDoNotAdd", "[[],[],[]]", 2, false},
                      NestingCase{"BracketsInString", R"(["[[[["])", 1, false},
                      NestingCase{"EscapedQuoteKeepsString", R"(["\"[[[["])", 1, false},
                      NestingCase{"EscapedBackslashEndsString", R"(["\\",[[1]]])", 2, true},
                      NestingCase{"StrayClosersDoNotGoNegative", "]]]][[", 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge
