#include "messaging/byte_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/fd_events.h"

namespace Vorn_SCard_Bridge {

namespace {
constexpr std::size_t CHUNK_SIZE = 64 * 1024;
}

FdByteSource::FdByteSource(int fd_, int wake_fd_, std::function<void()> before_wait_)
    : fd(fd_), wake_fd(wake_fd_), before_wait(std::move(before_wait_)), chunk(CHUNK_SIZE) {}

ReadResult FdByteSource::read_some(std::uint8_t* buffer, std::size_t size) {
    if (size == 0) return {ReadStatus::OK, 0};
    if (failure != 0) return {ReadStatus::FAILED, 0, failure};
    if (chunk_begin == chunk_end) {
        if (before_wait) before_wait();
        for (;;) {
            if (wake_fd >= 0) {
                platform::FdWatch fds[2] = {{fd, true}, {wake_fd, true}};
                const int ready = platform::wait_fds(fds, 2, -1);
                if (ready < 0) {
                    if (errno == EINTR) continue;
                    failure = errno;
                    return {ReadStatus::FAILED, 0, failure};
                }
                if (fds[1].readable || fds[1].hung_up) return {ReadStatus::INTERRUPTED, 0};
            }
            const ssize_t got = ::read(fd, chunk.data(), chunk.size());
            if (got > 0) {
                chunk_begin = 0;
                chunk_end = static_cast<std::size_t>(got);
                break;
            }
            if (got == 0) return {ReadStatus::END, 0};
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // With a wake-up pipe the poll at the top waits for both.
                if (wake_fd < 0) {
                    platform::FdWatch single{fd, true};
                    platform::wait_fds(&single, 1, -1);
                }
                continue;
            }
            failure = errno;
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
