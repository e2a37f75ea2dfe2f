#pragma once

#include <cstdint>
#include <string>

#include "processing/command_params.h"
#include "support/codecs.h"

namespace Vorn_SCard_Bridge {

// The context and card texts at index 0 and 1, as the card and data commands
// take them: read as strings, and once every other parameter has been read too,
// checked for emptiness and converted (context first).
struct CardHandles {
    std::int32_t context;
    std::int32_t card;
    std::string card_hex;  // how log lines show the card
};

struct CardHandleTexts {
    std::string context;
    std::string card;

    static CardHandleTexts read(const CommandParams& params) {
        return {params.text(0), params.text(1)};
    }
    void require_not_empty(const std::string& message) const {
        Vorn_SCard_Bridge::require_not_empty({&context, &card}, message);
    }
    CardHandles convert() const {
        const std::int32_t context_value = from_hex(context);
        const std::int32_t card_value = from_hex(card);
        return {context_value, card_value, to_hex(card_value)};
    }
};

}  // namespace Vorn_SCard_Bridge
