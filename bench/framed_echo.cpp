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
#include <string>
#include <vector>

#include "messaging/frame_codec.h"

namespace {

namespace framing = Vorn_SCard_Bridge::framing;

constexpr std::size_t READ_CHUNK = 64 * 1024;
constexpr std::uint32_t MAX_FRAME_TEXT = 1048576;

}  // namespace

int main() {
    std::vector<char> buffer(READ_CHUNK);
    framing::FrameDecoder decoder(MAX_FRAME_TEXT);
    std::string text;
    std::string out;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        decoder.feed(buffer.data(), static_cast<std::size_t>(got));

        // Every frame this read completes goes back in one write.
        out.clear();
        for (;;) {
            const auto status = decoder.next(text);
            if (status == framing::FrameDecoder::Status::NEED_MORE) break;
            if (status != framing::FrameDecoder::Status::FRAME) return 2;  // empty or too large
            framing::append_frame(out, text);
        }
        if (!out.empty() && !framing::write_all(STDOUT_FILENO, out)) return 1;
    }
}
