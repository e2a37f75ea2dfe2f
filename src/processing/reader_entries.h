#pragma once

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

#include "scard/reader_data.h"

namespace Vorn_SCard_Bridge {

// The reader entries of a "get_status_change" request: from `first_index` on,
// each group of three elements (current state, event state, reader name) is one
// reader; a last incomplete group is ignored.
std::vector<ReaderData> extract_reader_data(const nlohmann::json& params, std::size_t first_index);

}  // namespace Vorn_SCard_Bridge
