#pragma once

// The frame of native messaging, both ways: a 4-byte length in the machine's byte
// order, then that many bytes of text. The one codec of the repository: the host,
// talk, the installer's doctor, the benchmarks and the test fixtures all use it.
// It knows lengths, limits and whole writes; it knows nothing of JSON or commands.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "platform/fd_writes.h"

namespace Vorn_SCard_Bridge::framing {

constexpr std::size_t HEADER_SIZE = 4;
constexpr std::uint32_t NO_LIMIT = std::numeric_limits<std::uint32_t>::max();

// Appends the frame of `text` to `out`. Throws std::length_error when the text does
// not fit the length field.
void append_frame(std::string& out, std::string_view text);
std::string encode_frame(std::string_view text);
// A header alone, announcing `length` (tests forge frames whose text is cut short
// or longer than announced).
std::string encode_header(std::uint32_t length);

// The length a header announces.
std::uint32_t decode_length(const void* header);

// Splits a stream into frames as its bytes arrive, holding at most one frame of
// `max_length` bytes plus what was fed beyond it.
class FrameDecoder {
public:
    enum class Status {
        FRAME,      // `text` holds the next frame's text
        NEED_MORE,  // no whole frame yet
        EMPTY,      // a header announced length 0; the stream goes on after it
        TOO_LARGE,  // a header announced more than the limit (announced_length());
                    // its text is skipped as it arrives, never held
    };

    explicit FrameDecoder(std::uint32_t max_length = NO_LIMIT) : max_length_(max_length) {}

    void feed(const void* data, std::size_t size);
    Status next(std::string& text);
    // For readers that take every frame as it comes: true when `text` holds the next
    // frame's text (empty for an empty frame); frames over the limit are skipped.
    bool next_text(std::string& text);

    // Length of the last refused header.
    std::uint32_t announced_length() const { return announced_; }
    // Bytes held that do not make a whole frame yet (a stream that ends here was cut).
    std::size_t partial_bytes() const { return buffer_.size() - offset_; }

private:
    std::uint32_t max_length_;
    std::string buffer_;
    std::size_t offset_ = 0;
    std::uint64_t skipping_ = 0;  // text bytes of a refused frame still to drop
    std::uint32_t announced_ = 0;
};

// Writing a frame whole is the platform's (platform/fd_writes.h); the programs
// that speak frames find it here too.
using platform::write_all;

}  // namespace Vorn_SCard_Bridge::framing
