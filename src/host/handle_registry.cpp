#include "host/handle_registry.h"

namespace Vorn_SCard_Bridge {

bool HandleRegistry::reserve(HandleKind kind) {
    const bool context = kind == HandleKind::CONTEXT;
    std::size_t& opening = context ? opening_contexts_ : opening_cards_;
    if ((context ? contexts_ : cards_) + opening >= cap(kind)) return false;
    ++opening;
    return true;
}

void HandleRegistry::give_back(HandleKind kind) {
    std::size_t& opening = kind == HandleKind::CONTEXT ? opening_contexts_ : opening_cards_;
    if (opening > 0) --opening;
}

std::int32_t HandleRegistry::add(HandleKind kind, pcsc::Handle handle, std::int32_t context) {
    give_back(kind);
    // A counter, not the service's values: an id is never handed out twice (it would
    // take 2^32 handles in one session to come round).
    if (next_id_ == 0) ++next_id_;
    const auto id = static_cast<std::int32_t>(next_id_++);
    const bool is_context = kind == HandleKind::CONTEXT;
    held_.insert_or_assign(id, Held{kind, handle, is_context ? id : context});
    ++(is_context ? contexts_ : cards_);
    return id;
}

std::optional<pcsc::Handle> HandleRegistry::find(HandleKind kind, std::int32_t id) const {
    const auto found = held_.find(id);
    if (found == held_.end() || found->second.kind != kind) return std::nullopt;
    return found->second.handle;
}

std::optional<std::int32_t> HandleRegistry::context_of_card(std::int32_t card) const {
    const auto found = held_.find(card);
    if (found == held_.end() || found->second.kind != HandleKind::CARD) return std::nullopt;
    return found->second.context;
}

bool HandleRegistry::service_let_go(std::int32_t status) {
    switch (status) {
        case pcsc::SUCCESS:
        case pcsc::E_INVALID_HANDLE:
        case pcsc::E_NO_SERVICE:
        case pcsc::E_SERVICE_STOPPED:
        case pcsc::E_READER_UNAVAILABLE:
            return true;
        default:
            return false;
    }
}

void HandleRegistry::closed(HandleKind kind, std::int32_t id, std::int32_t status) {
    if (service_let_go(status)) remove(kind, id);
}

void HandleRegistry::remove(HandleKind kind, std::int32_t id) {
    const auto found = held_.find(id);
    if (found == held_.end() || found->second.kind != kind) return;
    held_.erase(found);
    if (kind == HandleKind::CARD) {
        --cards_;
        return;
    }
    --contexts_;
    std::erase_if(held_, [&](const auto& entry) {
        const Held& held = entry.second;
        if (held.kind != HandleKind::CARD || held.context != id) return false;
        --cards_;
        return true;
    });
}

std::vector<HandleRegistry::Entry> HandleRegistry::contexts() const {
    std::vector<Entry> entries;
    for (const auto& [id, held] : held_) {
        if (held.kind == HandleKind::CONTEXT) entries.push_back({id, held.handle});
    }
    return entries;
}

std::vector<HandleRegistry::Entry> HandleRegistry::cards_of(std::int32_t context) const {
    std::vector<Entry> entries;
    for (const auto& [id, held] : held_) {
        if (held.kind == HandleKind::CARD && held.context == context) {
            entries.push_back({id, held.handle});
        }
    }
    return entries;
}

std::size_t HandleRegistry::count(HandleKind kind) const {
    return kind == HandleKind::CONTEXT ? contexts_ : cards_;
}

}  // namespace Vorn_SCard_Bridge
