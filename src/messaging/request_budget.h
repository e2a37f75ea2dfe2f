#pragma once

// How much work the host holds for the extension: requests read and not yet
// answered (queued or running), counted and weighed, and the answers queued and
// not yet written, weighed by their frames. Past the limit the host still reads:
// it refuses each new request at once ("too busy"), except the prompt ones (cancel,
// healthcheck, get_version, is_valid_context), which take a small reserve of their
// own. It stops reading only while the browser does not take its answers
// (MessagingQueue::MAX_UNWRITTEN_BYTES).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>

namespace Vorn_SCard_Bridge {

class RequestBudget {
public:
    struct Limits {
        std::size_t requests;
        std::size_t bytes;
    };
    static constexpr std::size_t MAX_REQUESTS = 256;
    static constexpr std::size_t MAX_BYTES = 32u * 1024 * 1024;
    static constexpr Limits WORK{MAX_REQUESTS, MAX_BYTES};
    // Prompt requests read while the work is at its limit: they never wait for
    // anything but the service's quick answer, so few are ever held at once.
    static constexpr Limits PROMPT{64, 4u * 1024 * 1024};
    // A prompt request in a longer frame is no request of the extension's: it
    // counts as any other (refused while the work is at its limit).
    static constexpr std::size_t MAX_PROMPT_FRAME = 64u * 1024;
    // What a request of n frame bytes may take once parsed, at most: a frame of small
    // JSON values ("[{},{},...]", "["","",...]") takes up to 25 times its size once
    // parsed, allocator overhead included, and more while its arrays grow.
    static constexpr std::size_t PARSED_BYTES_PER_FRAME_BYTE = 32;
    // A request heavier than the whole budget is taken once no more than an eighth of
    // it is held, so that a few long waits (small, but held for ever) cannot keep it out.
    static constexpr std::size_t HEAVY_REQUEST_SLACK = MAX_BYTES / 8;

    // One request's share, given back when the token goes (its answer written or dropped).
    class Token {
    public:
        Token() = default;
        Token(Token&& other) noexcept;
        Token& operator=(Token&& other) noexcept;
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token();
        bool holds() const { return budget_ != nullptr; }
        // The request's count and `bytes` of its weight (more if it holds less) go to
        // the returned token, e.g. with its answer; this one keeps the rest of the
        // weight, e.g. until the parsed request is gone too.
        Token split_off(std::size_t bytes);
        // The request is answered: its count goes back, and its weight becomes
        // `bytes`, what its answer holds until written.
        void answered(std::size_t bytes);

    private:
        friend class RequestBudget;
        Token(RequestBudget* budget, std::size_t requests, std::size_t bytes)
            : budget_(budget), requests_(requests), bytes_(bytes) {}
        void release();
        RequestBudget* budget_ = nullptr;
        std::size_t requests_ = 0;
        std::size_t bytes_ = 0;
    };

    // `on_room` runs (on the releasing thread) when room is given back while a
    // try_take had found none.
    explicit RequestBudget(std::function<void()> on_room = {}, Limits limits = WORK)
        : on_room_(std::move(on_room)), limits_(limits) {}
    RequestBudget(const RequestBudget&) = delete;
    RequestBudget& operator=(const RequestBudget&) = delete;

    // Room for one more request of `bytes`; a request heavier than the whole budget
    // gets it once little else is held. Empty token when there is none yet.
    Token try_take(std::size_t bytes);

    std::size_t requests() const;
    std::size_t bytes() const;

    // The weight to reserve for a frame of `frame_length` bytes before it is parsed.
    static std::size_t reservation_for_frame(std::size_t frame_length) {
        return frame_length * PARSED_BYTES_PER_FRAME_BYTE;
    }

private:
    void give_back(std::size_t requests, std::size_t bytes);
    void add(std::size_t bytes);
    void settle(std::size_t requests, std::size_t old_bytes, std::size_t new_bytes);

    std::function<void()> on_room_;
    const Limits limits_;
    mutable std::mutex mutex_;
    std::size_t requests_ = 0;
    std::size_t bytes_ = 0;
    bool waiting_ = false;
};

}  // namespace Vorn_SCard_Bridge
