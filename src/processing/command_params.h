#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

namespace Vorn_SCard_Bridge {

// Positional parameters of a request, read once in index order. A branch counts
// them first, then converts every parameter it uses (a wrong JSON type fails
// here, with the JSON library's own description), then runs its emptiness and
// range checks: that order is what the extension sees.
class CommandParams {
public:
    explicit CommandParams(const nlohmann::json& params) : params(params) {}

    // Absent or null params count 0, an object its members, another scalar 1.
    std::size_t count() const { return params.size(); }

    // Throws runtime_error(message) when "params" is absent, null or empty.
    void require_any(const std::string& message) const;
    // Throws runtime_error(message) when there are fewer than `minimum` elements.
    void require_at_least(std::size_t minimum, const std::string& message) const;

    std::string text(std::size_t index) const;
    std::uint32_t unsigned_number(std::size_t index) const;
    std::int32_t signed_number(std::size_t index) const;

private:
    const nlohmann::json& element(std::size_t index) const;

    const nlohmann::json& params;
};

// Throws runtime_error(message) when any of the texts is empty.
void require_not_empty(std::initializer_list<const std::string*> texts, const std::string& message);

// Throws runtime_error(message) when the text is longer than `limit` bytes.
void require_at_most(const std::string& text, std::size_t limit, const std::string& message);

}  // namespace Vorn_SCard_Bridge
