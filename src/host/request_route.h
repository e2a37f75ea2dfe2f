#pragma once

// Where a request runs, decided from the registry when the request is read, and the
// handles it may use from then on. An id is usable only once the session has handed
// it out: a request on an id it does not hold (yet, or any more) has no lane, and is
// answered at once without the service. Otherwise it runs in the lane of the
// context it names (a card: the context it was connected through), and its
// operation gets the handles as they were when it was read, as long as the
// registry still holds them; an id is never looked up again in a way that could
// put the call on another lane than the one it waited for.

#include <cstdint>
#include <optional>
#include <vector>

#include "host/handle_registry.h"
#include "host/lane_schedule.h"

namespace Vorn_SCard_Bridge {

enum class CommandLane;

struct RequestRoute {
    struct Resolved {
        HandleKind kind;
        std::int32_t id;
        pcsc::Handle handle;
    };

    LaneSchedule::Lane lane = LaneSchedule::NO_LANE;
    // A call on a context whose id names nothing the session holds: its checks and
    // refusal need no worker and no service.
    bool at_once = false;
    std::vector<Resolved> handles;

    // The service's handle for `id` when the request was read with it and the
    // registry still holds it; none otherwise (the operation answers "invalid handle").
    std::optional<pcsc::Handle> handle(const HandleRegistry& registry, HandleKind kind,
                                       std::int32_t id) const;
};

// `context` and `card`: the ids at "params" 0 and 1, where they are readable ids.
RequestRoute route_request(const HandleRegistry& registry, CommandLane lane,
                           std::optional<std::int32_t> context, std::optional<std::int32_t> card);

}  // namespace Vorn_SCard_Bridge
