#pragma once

// Whether the threads that finish answers may write them to the host's output
// themselves: only where a write the reader is not ready for fails at once
// (EAGAIN) instead of holding the thread. One implementation per system (posix/,
// windows/).

#include <cstddef>

namespace Vorn_SCard_Bridge::platform {

// Makes a pipe or socket `fd` non-blocking; true for it and for a regular file,
// whose writes never wait for a reader. False, with nothing changed, when writes to
// `fd` may wait (a terminal, or a system whose pipes only block).
bool make_output_nonblocking(int fd);

// The most bytes one write to such an output takes whole or not at all (PIPE_BUF);
// 0 where outputs are never made non-blocking.
std::size_t whole_write_size();

}  // namespace Vorn_SCard_Bridge::platform
