#pragma once

// Writing to a descriptor that may refuse a write (EAGAIN): waiting until it takes
// more, writing several pieces with one call, writing a buffer whole. One
// implementation per system (posix/, windows/), linked with the frame codec: every
// program that writes frames or log lines uses it.

#include <cstddef>
#include <string_view>

namespace Vorn_SCard_Bridge::platform {

// 1 when `fd` takes more, 0 after `timeout_ms` (-1: no limit), -1 on failure with
// errno set (EINTR included: the caller retries).
int wait_writable(int fd, int timeout_ms);

// Writes `pieces` in order as one stream: with one gathering call where the system
// has one (writev, up to its IOV_MAX pieces), else the first piece alone. The bytes
// written, or -1 with errno set, as write() answers.
long write_pieces(int fd, const std::string_view* pieces, std::size_t count);

// Writes all of `data` to `fd`: resumes after partial writes and signals, and on a
// non-blocking descriptor waits until it takes more, giving up when it takes
// nothing for `timeout_ms` (-1: never). Returns false with errno set when the
// descriptor failed (EPIPE, ...) or when the wait timed out (errno ETIMEDOUT).
bool write_all(int fd, std::string_view data, int timeout_ms = -1);

}  // namespace Vorn_SCard_Bridge::platform
