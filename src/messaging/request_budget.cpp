#include "messaging/request_budget.h"

#include <utility>

namespace Vorn_SCard_Bridge {

RequestBudget::Token::Token(Token&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

RequestBudget::Token& RequestBudget::Token::operator=(Token&& other) noexcept {
    if (this != &other) {
        release();
        budget_ = std::exchange(other.budget_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

RequestBudget::Token::~Token() { release(); }

void RequestBudget::Token::release() {
    if (budget_ != nullptr) std::exchange(budget_, nullptr)->give_back(1, bytes_);
    bytes_ = 0;
}

void RequestBudget::Token::reweigh(std::size_t bytes) {
    if (budget_ == nullptr) return;
    budget_->adjust(bytes_, bytes);
    bytes_ = bytes;
}

RequestBudget::Token RequestBudget::try_take(std::size_t bytes) {
    const std::lock_guard lock(mutex_);
    const bool fits = requests_ < MAX_REQUESTS &&
                      (bytes_ + bytes <= MAX_BYTES || bytes_ <= HEAVY_REQUEST_SLACK);
    if (!fits) {
        waiting_ = true;
        return {};
    }
    ++requests_;
    bytes_ += bytes;
    return {this, bytes};
}

void RequestBudget::give_back(std::size_t requests, std::size_t bytes) {
    bool notify = false;
    {
        const std::lock_guard lock(mutex_);
        requests_ -= requests;
        bytes_ -= bytes;
        notify = std::exchange(waiting_, false);
    }
    if (notify && on_room_) on_room_();
}

void RequestBudget::adjust(std::size_t old_bytes, std::size_t new_bytes) {
    if (new_bytes < old_bytes) {
        give_back(0, old_bytes - new_bytes);
        return;
    }
    const std::lock_guard lock(mutex_);
    bytes_ += new_bytes - old_bytes;
}

std::size_t RequestBudget::weight_of(const nlohmann::json& value) {
    // The value itself, plus the allocation behind a string, array or object.
    constexpr std::size_t VALUE = sizeof(nlohmann::json);
    constexpr std::size_t ALLOCATION = 48;
    switch (value.type()) {
        case nlohmann::json::value_t::string:
            return VALUE + ALLOCATION + value.get_ref<const std::string&>().size();
        case nlohmann::json::value_t::array:
        case nlohmann::json::value_t::object: {
            std::size_t weight = VALUE + ALLOCATION;
            for (const auto& item : value.items()) {
                weight += weight_of(item.value()) + ALLOCATION;
                if (value.is_object()) weight += item.key().size();
            }
            return weight;
        }
        default:
            return VALUE;
    }
}

std::size_t RequestBudget::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t RequestBudget::bytes() const {
    const std::lock_guard lock(mutex_);
    return bytes_;
}

}  // namespace Vorn_SCard_Bridge
