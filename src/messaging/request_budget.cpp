#include "messaging/request_budget.h"

#include <utility>

namespace Vorn_SCard_Bridge {

RequestBudget::Token::Token(Token&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)),
      requests_(std::exchange(other.requests_, 0)),
      bytes_(std::exchange(other.bytes_, 0)) {}

RequestBudget::Token& RequestBudget::Token::operator=(Token&& other) noexcept {
    if (this != &other) {
        release();
        budget_ = std::exchange(other.budget_, nullptr);
        requests_ = std::exchange(other.requests_, 0);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

RequestBudget::Token::~Token() { release(); }

void RequestBudget::Token::release() {
    if (budget_ != nullptr) std::exchange(budget_, nullptr)->give_back(requests_, bytes_);
    requests_ = 0;
    bytes_ = 0;
}

RequestBudget::Token RequestBudget::Token::split_off(std::size_t bytes) {
    if (budget_ == nullptr) return {};
    if (bytes > bytes_) {
        budget_->add(bytes - bytes_);
        bytes_ = bytes;
    }
    bytes_ -= bytes;
    return {budget_, std::exchange(requests_, 0), bytes};
}

void RequestBudget::Token::answered(std::size_t bytes) {
    if (budget_ == nullptr) return;
    budget_->settle(std::exchange(requests_, 0), bytes_, bytes);
    bytes_ = bytes;
}

RequestBudget::Token RequestBudget::try_take(std::size_t bytes) {
    const std::lock_guard lock(mutex_);
    const bool fits = requests_ < limits_.requests &&
                      (bytes_ + bytes <= limits_.bytes || bytes_ <= limits_.bytes / 8);
    if (!fits) {
        waiting_ = true;
        return {};
    }
    ++requests_;
    bytes_ += bytes;
    return {this, 1, bytes};
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

void RequestBudget::settle(std::size_t requests, std::size_t old_bytes, std::size_t new_bytes) {
    if (new_bytes > old_bytes) add(new_bytes - old_bytes);
    if (requests > 0 || old_bytes > new_bytes) {
        give_back(requests, old_bytes > new_bytes ? old_bytes - new_bytes : 0);
    }
}

void RequestBudget::add(std::size_t bytes) {
    const std::lock_guard lock(mutex_);
    bytes_ += bytes;
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
