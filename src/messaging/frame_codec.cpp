#include "messaging/frame_codec.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace Vorn_SCard_Bridge::framing {

namespace {
// Consumed bytes are dropped from the front once they outweigh this.
constexpr std::size_t COMPACT_AT = 64 * 1024;
}  // namespace

void append_frame(std::string& out, std::string_view text) {
    if (text.size() > NO_LIMIT) throw std::length_error("response too large for one frame");
    out.append(encode_header(static_cast<std::uint32_t>(text.size())));
    out.append(text);
}

std::string encode_frame(std::string_view text) {
    std::string out;
    out.reserve(HEADER_SIZE + text.size());
    append_frame(out, text);
    return out;
}

std::string encode_header(std::uint32_t length) {
    static_assert(sizeof length == HEADER_SIZE);
    std::string header(HEADER_SIZE, '\0');
    std::memcpy(header.data(), &length, HEADER_SIZE);
    return header;
}

std::uint32_t decode_length(const void* header) {
    std::uint32_t length = 0;
    std::memcpy(&length, header, HEADER_SIZE);
    return length;
}

void FrameDecoder::feed(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    if (skipping_ > 0) {
        const std::size_t dropped =
            static_cast<std::size_t>(std::min<std::uint64_t>(skipping_, size));
        skipping_ -= dropped;
        bytes += dropped;
        size -= dropped;
    }
    if (offset_ > 0 && (offset_ >= COMPACT_AT || offset_ == buffer_.size())) {
        buffer_.erase(0, offset_);
        offset_ = 0;
    }
    buffer_.append(bytes, size);
}

FrameDecoder::Status FrameDecoder::next(std::string& text) {
    if (skipping_ > 0) return Status::NEED_MORE;
    if (partial_bytes() < HEADER_SIZE) return Status::NEED_MORE;
    const std::uint32_t length = decode_length(buffer_.data() + offset_);
    if (length == 0) {
        offset_ += HEADER_SIZE;
        return Status::EMPTY;
    }
    if (length > max_length_) {
        announced_ = length;
        offset_ += HEADER_SIZE;
        const std::size_t held = std::min<std::size_t>(partial_bytes(), length);
        offset_ += held;
        skipping_ = length - held;
        return Status::TOO_LARGE;
    }
    if (partial_bytes() - HEADER_SIZE < length) return Status::NEED_MORE;
    text.assign(buffer_, offset_ + HEADER_SIZE, length);
    offset_ += HEADER_SIZE + length;
    return Status::FRAME;
}

bool FrameDecoder::next_text(std::string& text) {
    Status status = next(text);
    while (status == Status::TOO_LARGE) status = next(text);
    if (status == Status::EMPTY) text.clear();
    return status != Status::NEED_MORE;
}

}  // namespace Vorn_SCard_Bridge::framing
