#include "scard/context_gates.h"

#include <utility>

namespace Vorn_SCard_Bridge::pcsc {

ContextGates::Pass::Pass(std::shared_ptr<Gate> gate) : gate_(std::move(gate)), lock_(gate_->turn) {}

void ContextGates::open_context(std::int32_t context) {
    const std::lock_guard lock(mutex_);
    contexts_.try_emplace(context, std::make_shared<Gate>());
}

void ContextGates::close_context(std::int32_t context) {
    const std::lock_guard lock(mutex_);
    contexts_.erase(context);
    std::erase_if(card_contexts_, [context](const auto& entry) { return entry.second == context; });
}

void ContextGates::add_card(std::int32_t card, std::int32_t context) {
    const std::lock_guard lock(mutex_);
    card_contexts_.insert_or_assign(card, context);
}

void ContextGates::remove_card(std::int32_t card) {
    const std::lock_guard lock(mutex_);
    card_contexts_.erase(card);
}

ContextGates::Pass ContextGates::enter_context(std::int32_t context) {
    std::shared_ptr<Gate> gate;
    {
        const std::lock_guard lock(mutex_);
        const auto found = contexts_.find(context);
        if (found == contexts_.end()) return {};
        gate = found->second;
    }
    return Pass(std::move(gate));
}

ContextGates::Pass ContextGates::enter_card(std::int32_t card) {
    std::shared_ptr<Gate> gate;
    {
        const std::lock_guard lock(mutex_);
        const auto card_found = card_contexts_.find(card);
        if (card_found == card_contexts_.end()) return {};
        const auto found = contexts_.find(card_found->second);
        if (found == contexts_.end()) return {};
        gate = found->second;
    }
    return Pass(std::move(gate));
}

ContextGates::Pass ContextGates::enter_wait(std::int32_t context) {
    std::shared_ptr<Gate> gate;
    std::uint64_t cancels_on_arrival = 0;
    {
        const std::lock_guard lock(mutex_);
        const auto found = contexts_.find(context);
        if (found == contexts_.end()) return {};
        gate = found->second;
        cancels_on_arrival = gate->cancels;
        ++gate->queued_waits;
    }
    Pass pass(std::move(gate));
    const std::lock_guard lock(mutex_);
    --pass.gate_->queued_waits;
    pass.cancelled_ = pass.gate_->cancels != cancels_on_arrival;
    return pass;
}

void ContextGates::note_cancel(std::int32_t context) {
    const std::lock_guard lock(mutex_);
    const auto found = contexts_.find(context);
    if (found != contexts_.end()) ++found->second->cancels;
}

std::size_t ContextGates::context_count() const {
    const std::lock_guard lock(mutex_);
    return contexts_.size();
}

std::uint32_t ContextGates::queued_waits(std::int32_t context) const {
    const std::lock_guard lock(mutex_);
    const auto found = contexts_.find(context);
    return found == contexts_.end() ? 0 : found->second->queued_waits;
}

std::size_t ContextGates::card_count() const {
    const std::lock_guard lock(mutex_);
    return card_contexts_.size();
}

}  // namespace Vorn_SCard_Bridge::pcsc
