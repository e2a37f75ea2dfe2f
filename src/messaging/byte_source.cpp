#include "messaging/byte_source.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Vorn_SCard_Bridge {

namespace {
constexpr std::size_t CHUNK_SIZE = 64 * 1024;
}

FdByteSource::FdByteSource(int fd_, int wake_fd_, std::function<void()> before_wait_)
    : input(fd_, wake_fd_), before_wait(std::move(before_wait_)), chunk(CHUNK_SIZE) {}

ReadResult FdByteSource::read_some(std::uint8_t* buffer, std::size_t size) {
    if (size == 0) return {ReadStatus::OK, 0};
    if (failure != 0) return {ReadStatus::FAILED, 0, failure};
    if (chunk_begin == chunk_end) {
        if (before_wait) before_wait();
        const platform::InputRead got = input.read(chunk.data(), chunk.size());
        switch (got.status) {
            case platform::InputRead::DATA:
                chunk_begin = 0;
                chunk_end = got.count;
                break;
            case platform::InputRead::END:
                return {ReadStatus::END, 0};
            case platform::InputRead::WOKEN:
                return {ReadStatus::INTERRUPTED, 0};
            case platform::InputRead::FAILED:
                failure = got.error;
                return {ReadStatus::FAILED, 0, failure};
        }
    }
    const std::size_t count = std::min(size, chunk_end - chunk_begin);
    std::memcpy(buffer, chunk.data() + chunk_begin, count);
    chunk_begin += count;
    return {ReadStatus::OK, count};
}

ReadResult MemoryByteSource::read_some(std::uint8_t* buffer, std::size_t wanted) {
    if (offset >= size) return {ReadStatus::END, 0};
    const std::size_t count = std::min(wanted, size - offset);
    std::memcpy(buffer, data + offset, count);
    offset += count;
    return {ReadStatus::OK, count};
}

}  // namespace Vorn_SCard_Bridge
