#pragma once

#include <cstdint>
#include <string>

namespace Vorn_SCard_Bridge {

// The English sentence for a PC/SC status code, or "Unknown error: 0x%08X".
std::string get_win_scard_error_string(std::int32_t code);

}  // namespace Vorn_SCard_Bridge
