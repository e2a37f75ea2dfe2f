// The frame codec, named by the fault a stream can have. The decoder is fed as
// pipes deliver: in chunks of any size.

#include "messaging/frame_codec.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace Vorn_SCard_Bridge::framing {
namespace {

using Status = FrameDecoder::Status;

void feed(FrameDecoder& decoder, const std::string& bytes) {
    decoder.feed(bytes.data(), bytes.size());
}

// A non-blocking pipe filled until it takes no more.
struct FullPipe {
    int fds[2];
    std::size_t held = 0;
    FullPipe() {
        EXPECT_EQ(::pipe2(fds, O_NONBLOCK), 0);
        const std::string chunk(4096, 'x');
        for (ssize_t n; (n = ::write(fds[1], chunk.data(), chunk.size())) > 0;) {
            held += static_cast<std::size_t>(n);
        }
    }
    ~FullPipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
};

TEST(FrameCodec, InvalidLengthIsSkippedAndTheStreamStaysInStep) {
    FrameDecoder decoder(16);
    const std::string refused = encode_frame(std::string(1000, 'a'));
    feed(decoder, refused.substr(0, HEADER_SIZE + 10));
    std::string got;
    EXPECT_EQ(decoder.next(got), Status::TOO_LARGE);
    EXPECT_EQ(decoder.announced_length(), 1000u);
    feed(decoder, refused.substr(HEADER_SIZE + 10) + encode_frame("{}"));
    EXPECT_EQ(decoder.next(got), Status::FRAME);
    EXPECT_EQ(got, "{}");
    EXPECT_EQ(decoder.next(got), Status::NEED_MORE);
    EXPECT_EQ(decoder.partial_bytes(), 0u);
}

TEST(FrameCodec, ShortHeaderOrBodyIsNoFrameYetAndStaysHeldAsCut) {
    for (const std::size_t cut : {std::size_t{3}, HEADER_SIZE + 3}) {
        FrameDecoder decoder;
        feed(decoder, encode_frame("abcdefghij").substr(0, cut));
        std::string got;
        EXPECT_EQ(decoder.next(got), Status::NEED_MORE);
        EXPECT_EQ(decoder.partial_bytes(), cut);
    }
}

TEST(FrameCodec, EmptyBodyIsReportedAndTheNextFrameIsRead) {
    FrameDecoder decoder;
    feed(decoder, encode_frame("") + encode_frame("next"));
    std::string got = "stale";
    EXPECT_EQ(decoder.next(got), Status::EMPTY);
    EXPECT_EQ(decoder.next(got), Status::FRAME);
    EXPECT_EQ(got, "next");

    feed(decoder, encode_frame(""));
    ASSERT_TRUE(decoder.next_text(got));
    EXPECT_EQ(got, "");
}

class SeveralGoodMessages : public testing::TestWithParam<std::size_t> {};

TEST_P(SeveralGoodMessages, AreReadWholeAndInOrder) {
    const std::vector<std::string> texts = {"{\"requestId\":\"1\"}", "[]", std::string(70000, 'z'),
                                            "k\xc3\xa4r"};
    std::string stream;
    for (const auto& text : texts) append_frame(stream, text);
    FrameDecoder decoder(1 << 20);
    std::vector<std::string> got;
    std::string text;
    for (std::size_t at = 0; at < stream.size(); at += GetParam()) {
        feed(decoder, stream.substr(at, GetParam()));
        while (decoder.next_text(text)) got.push_back(text);
    }
    EXPECT_EQ(got, texts);
    EXPECT_EQ(decoder.partial_bytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(FrameCodec, SeveralGoodMessages, testing::Values(1, 1 << 24),
                         [](const auto& info) {
                             return info.param == 1 ? "ByteByByte" : "InOneChunk";
                         });

TEST(FrameCodec, WriteAllOnAFullNonBlockingPipeWaitsAndWritesTheWholeFrame) {
    FullPipe pipe;
    const std::string frame = encode_frame(std::string(200000, 'f'));
    std::string drained;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::fcntl(pipe.fds[0], F_SETFL, 0);
        char buffer[8192];
        while (drained.size() < pipe.held + frame.size()) {
            const ssize_t n = ::read(pipe.fds[0], buffer, sizeof buffer);
            if (n > 0) drained.append(buffer, static_cast<std::size_t>(n));
        }
    });
    EXPECT_TRUE(write_all(pipe.fds[1], frame));
    reader.join();
    EXPECT_EQ(drained.substr(pipe.held), frame);
}

TEST(FrameCodec, WriteAllThatWaitsPastItsTimeOutGivesUpWithEtimedout) {
    FullPipe pipe;
    errno = 0;
    EXPECT_FALSE(write_all(pipe.fds[1], encode_frame("{}"), 20));
    EXPECT_EQ(errno, ETIMEDOUT);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::framing
