#pragma once

#include <cstdint>
#include <string>

namespace Vorn_SCard_Bridge {

// One reader's entry of a status-change request.
struct ReaderData {
    std::uint32_t current_state = 0;
    std::uint32_t event_state = 0;
    std::string reader_name;
};

}  // namespace Vorn_SCard_Bridge
