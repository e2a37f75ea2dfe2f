#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>
#include <vector>

#include "processing/command_call.h"
#include "processing/command_table.h"
#include "scard/reader_data.h"

namespace Vorn_SCard_Bridge {

// The parameters of one request, read as its row describes them, in the order
// the extension sees the refusals: the count, every JSON type in index order (a
// type error wins), the emptiness of handles and names, lengths and ranges in
// index order, the handles (context first); the reader records last, once the
// row's debug lines are written. Every refusal is a runtime_error (a type error
// the JSON library's own).
class CommandArgs {
public:
    CommandArgs(const CommandRow& row, const CommandCall& call);

    // Parameter `index` as an operation takes it: a handle or signed number as
    // std::int32_t, a number as std::uint32_t, a text as std::string, and the reader
    // records (whatever the index; empty until read_records) as std::vector<ReaderData>.
    template <typename T>
    decltype(auto) value(std::size_t index) const {
        if constexpr (std::is_same_v<T, std::vector<ReaderData>>) {
            return (readers_);
        } else if constexpr (std::is_same_v<T, std::string>) {
            return (values_.at(index).text);
        } else if constexpr (std::is_same_v<T, std::uint32_t>) {
            return values_.at(index).bits;
        } else {
            static_assert(std::is_same_v<T, std::int32_t>);
            return static_cast<std::int32_t>(values_.at(index).bits);
        }
    }

    void read_records();
    // A log line's placeholder (see CommandRow); "{result...}" from `result`.
    std::string field(std::string_view key, const nlohmann::json* result) const;

private:
    struct Value {
        std::string text;
        std::uint32_t bits = 0;
    };

    const CommandRow& row_;
    const CommandCall& call_;
    std::vector<Value> values_;
    std::vector<ReaderData> readers_;
};

// Fills a row's template: each "{key}" becomes field(key).
template <typename Field>
std::string fill(std::string_view text, Field field) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t open = text.find('{', at);
        const std::size_t close = text.find('}', open);
        if (open == std::string_view::npos || close == std::string_view::npos) {
            out.append(text.substr(at));
            break;
        }
        out.append(text.substr(at, open - at));
        out.append(field(text.substr(open + 1, close - open - 1)));
        at = close + 1;
    }
    return out;
}

// Runs a row's command for one request: its log lines, its parameters, its
// operation. Returns the response's "result"; throws on a refusal or failure.
nlohmann::json run_command(const CommandRow& row, const CommandCall& call);

}  // namespace Vorn_SCard_Bridge
