#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/fd_events.h"

namespace Vorn_SCard_Bridge {

enum class ReadStatus {
    OK,           // at least one byte was read
    END,          // the input has ended
    INTERRUPTED,  // a shutdown was requested while waiting
    FAILED,       // the read failed otherwise
};

struct ReadResult {
    ReadStatus status;
    std::size_t count;
    int error = 0;  // errno of a FAILED read
};

// Where frames come from: standard input in the host, memory in tests and fuzzers.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `size` bytes; blocks until at least one byte, the end, an
    // interruption or a failure.
    virtual ReadResult read_some(std::uint8_t* buffer, std::size_t size) = 0;
};

// A file descriptor, read in large chunks so that many small pipelined frames
// cost one system call. While it waits it also watches `wake_fd` (the read end
// of the shutdown pipe, -1 for none): once that becomes readable every read
// reports INTERRUPTED. `before_wait` runs each time what was read is used up,
// before it asks the descriptor for more. A read that failed (a descriptor that
// cannot be read, such as a closed or write-only standard input) keeps failing:
// it is never retried.
class FdByteSource : public ByteSource {
public:
    explicit FdByteSource(int fd, int wake_fd = -1, std::function<void()> before_wait = {});
    ReadResult read_some(std::uint8_t* buffer, std::size_t size) override;

private:
    platform::InputReader input;
    std::function<void()> before_wait;
    std::vector<std::uint8_t> chunk;
    std::size_t chunk_begin = 0;
    std::size_t chunk_end = 0;
    int failure = 0;
};

// A fixed sequence of bytes.
class MemoryByteSource : public ByteSource {
public:
    MemoryByteSource(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    ReadResult read_some(std::uint8_t* buffer, std::size_t wanted) override;

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset = 0;
};

}  // namespace Vorn_SCard_Bridge
