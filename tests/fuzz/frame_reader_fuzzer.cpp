// read_message over arbitrary bytes: it must never crash, never read past the
// stream, always make progress, and stay in step with the frames that follow a
// bad one.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "messaging/byte_source.h"
#include "messaging/frame_codec.h"
#include "messaging/message_reader.h"

namespace {

using namespace Vorn_SCard_Bridge;
using fuzzing::require;

const std::string SENTINEL_TEXT = R"({"command":"healthcheck","params":[],"requestId":"sentinel"})";

// The whole input as a stream: every call consumes at least a length, so the
// number of calls before the end is bounded by the input size.
void read_whole_stream(const std::uint8_t* data, std::size_t size) {
    MemoryByteSource source(data, size);
    const std::size_t max_calls = size / 4 + 2;
    for (std::size_t calls = 0;; ++calls) {
        require(calls < max_calls, "read_message made no progress");
        const std::optional<nlohmann::json> message = read_message(source);
        if (!message) break;
        // Whatever came back must be usable by the host loop: copied and serialised.
        const nlohmann::json copy = *message;
        (void)copy.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    // The end of input is sticky: the host stops on it.
    require(!read_message(source), "end of input was not reported again");
}

// The input as the text of one frame (or the tail of an oversized one), followed
// by a good frame: whatever the first frame holds, the second is read whole.
void read_framed_then_sentinel(const std::uint8_t* data, std::size_t size, bool oversized) {
    std::string text = oversized ? std::string(MAX_MESSAGE_SIZE + 1, '[') : std::string();
    text.append(reinterpret_cast<const char*>(data), size);
    std::string stream = framing::encode_frame(text);
    framing::append_frame(stream, SENTINEL_TEXT);

    MemoryByteSource source(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
    const std::optional<nlohmann::json> first = read_message(source);
    require(first.has_value(), "end of input reported inside the stream");
    if (oversized || size == 0) require(first->is_null(), "a refused frame was returned");
    const nlohmann::json second = read_message(source).value_or(nullptr);
    require(second.is_object() && second.value("requestId", "") == "sentinel",
            "lost step after a frame of " + std::to_string(size) + " bytes: got " +
                second.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    require(!read_message(source), "bytes left after the sentinel frame");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::quiet_logger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    read_whole_stream(data, size);
    read_framed_then_sentinel(data, size, false);
    // Skipping a frame above the limit costs a megabyte of copying: only now and then.
    if (size > 0 && data[0] == 0xFF) read_framed_then_sentinel(data, size, true);
    return 0;
}
