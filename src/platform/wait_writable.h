#pragma once

// Waiting until a descriptor that refused a write (EAGAIN) takes more. One
// implementation per system (posix/, windows/), linked into the frame codec.

namespace Vorn_SCard_Bridge::platform {

// 1 when `fd` takes more, 0 after `timeout_ms` (-1: no limit), -1 on failure with
// errno set (EINTR included: the caller retries).
int wait_writable(int fd, int timeout_ms);

}  // namespace Vorn_SCard_Bridge::platform
