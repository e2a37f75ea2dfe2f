#pragma once

// How much work the host holds for the extension: requests read and not yet
// answered (queued, running, or answered and waiting to be written), counted and
// weighed. At the limit the host stops reading its input until answers have been
// written (back-pressure); it never drops or refuses what it has read.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>

namespace Vorn_SCard_Bridge {

class RequestBudget {
public:
    static constexpr std::size_t MAX_REQUESTS = 256;
    static constexpr std::size_t MAX_BYTES = 32u * 1024 * 1024;
    // What a request of n frame bytes may take once parsed, at most: a frame of small
    // JSON values ("[{},{},...]", "["","",...]") takes up to 25 times its size once
    // parsed, allocator overhead included, and more while its arrays grow.
    static constexpr std::size_t PARSED_BYTES_PER_FRAME_BYTE = 32;
    // A request heavier than the whole budget is taken once no more than this is held,
    // so that a few long waits (small, but held for ever) cannot keep it out.
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
    explicit RequestBudget(std::function<void()> on_room = {}) : on_room_(std::move(on_room)) {}
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
    // About what a JSON value holds in memory (an answer waiting to be written).
    static std::size_t weight_of(const nlohmann::json& value);

private:
    void give_back(std::size_t requests, std::size_t bytes);
    void add(std::size_t bytes);

    std::function<void()> on_room_;
    mutable std::mutex mutex_;
    std::size_t requests_ = 0;
    std::size_t bytes_ = 0;
    bool waiting_ = false;
};

}  // namespace Vorn_SCard_Bridge
