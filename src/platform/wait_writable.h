#pragma once

// Writing to a descriptor that may refuse a write (EAGAIN): waiting until it takes
// more, and writing several pieces with one call. One implementation per system
// (posix/, windows/), linked into the frame codec.

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

}  // namespace Vorn_SCard_Bridge::platform
