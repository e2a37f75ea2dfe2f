// vorn-bench-echo: the cheapest process that speaks the host's framing. It reads
// frames (4-byte native-order length + text) from standard input and writes each
// one back unchanged on standard output, every complete frame of one read in one
// write, until the input ends. The benchmark driver runs the same client against
// it and against the host: what the echo costs is what the pipes, the scheduler
// and process start-up cost on this machine, so the host's figures can be read
// against it.

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t INITIAL_BUFFER = 64 * 1024;
constexpr std::uint32_t MAX_FRAME_TEXT = 1048576;

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t wrote = ::write(fd, data, size);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
    return true;
}

}  // namespace

int main() {
    std::vector<char> buffer(INITIAL_BUFFER);
    std::size_t have = 0;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data() + have, buffer.size() - have);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        have += static_cast<std::size_t>(got);

        // Whole frames at the front of the buffer go back in one write.
        std::size_t complete = 0;
        std::size_t needed = 0;
        while (have - complete >= 4) {
            std::uint32_t length = 0;
            std::memcpy(&length, buffer.data() + complete, sizeof length);
            if (length == 0 || length > MAX_FRAME_TEXT) return 2;
            if (have - complete < 4 + static_cast<std::size_t>(length)) {
                needed = 4 + static_cast<std::size_t>(length);
                break;
            }
            complete += 4 + static_cast<std::size_t>(length);
        }
        if (complete > 0) {
            if (!write_all(STDOUT_FILENO, buffer.data(), complete)) return 1;
            std::memmove(buffer.data(), buffer.data() + complete, have - complete);
            have -= complete;
        }
        if (needed > buffer.size()) buffer.resize(needed);
    }
}
