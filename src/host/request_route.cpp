#include "host/request_route.h"

#include "processing/command_table.h"

namespace Vorn_SCard_Bridge {

std::optional<pcsc::Handle> RequestRoute::handle(const HandleRegistry& registry, HandleKind kind,
                                                 std::int32_t id) const {
    for (const Resolved& resolved : handles) {
        if (resolved.kind != kind || resolved.id != id) continue;
        // Ids are never handed out twice: the registry holds the same handle or none.
        if (registry.find(kind, id) == resolved.handle) return resolved.handle;
        return std::nullopt;
    }
    return std::nullopt;
}

RequestRoute route_request(const HandleRegistry& registry, CommandLane lane,
                           std::optional<std::int32_t> context, std::optional<std::int32_t> card) {
    RequestRoute route;
    const auto resolve = [&](HandleKind kind, std::optional<std::int32_t> id) {
        if (!id) return false;
        const auto handle = registry.find(kind, *id);
        if (handle) route.handles.push_back({kind, *id, *handle});
        return handle.has_value();
    };
    const bool context_held = resolve(HandleKind::CONTEXT, context);
    switch (lane) {
        case CommandLane::CONTEXT:
            if (context_held) {
                route.lane = *context;
            } else {
                route.at_once = true;
            }
            break;
        case CommandLane::CARD:
            if (resolve(HandleKind::CARD, card)) {
                route.lane = *registry.context_of_card(*card);
            } else {
                route.at_once = true;
            }
            break;
        case CommandLane::CONTROL:
            // A cancel reaches the waits of the context it names, if held.
            if (context_held) route.lane = *context;
            break;
        case CommandLane::AT_ONCE:
        case CommandLane::ANY:
            break;
    }
    return route;
}

}  // namespace Vorn_SCard_Bridge
