#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "processing/command_call.h"
#include "processing/command_table.h"
#include "scard/reader_data.h"
#include "scard/smartcard_operations.h"

namespace Vorn_SCard_Bridge {

// The parameters of one request, read once (on the thread that read the request)
// as its row describes them. The checks run in the order the extension sees the
// refusals: the count, every JSON type in index order (a type error wins), the
// emptiness of handles and names, lengths and ranges in index order, the handles
// (context first); the reader records last. A refusal is kept, not thrown: the
// command refuses when it runs (refuse_if_checks_failed, refuse_if_records_failed),
// after the lines a request logs before it, exactly as if the checks ran then.
// Texts are moved out of the request, so that each is held once.
class CommandArgs {
public:
    // `params`: the request's "params" (null when it has none); its texts are taken.
    CommandArgs(const CommandRow& row, std::string_view command, nlohmann::json& params);

    // Parameter `index` as an operation takes it: a handle or signed number as
    // std::int32_t, a number as std::uint32_t, a text as std::string, and the reader
    // records (whatever the index) as std::vector<ReaderData>.
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

    // The ids of the context and the card the request names, where they are
    // readable ids (whether or not the other checks pass): where it runs.
    std::optional<std::int32_t> context_id() const { return context_id_; }
    std::optional<std::int32_t> card_id() const { return card_id_; }
    // More reader records than the row takes: refused without waiting for its context.
    bool exceeds_records() const { return exceeds_records_; }

    // Throws what the checks of the parameters refused (logging it first where the
    // row says so); the records' refusal with refuse_if_records_failed.
    void refuse_if_checks_failed(const CommandCall& call) const;
    void refuse_if_records_failed() const;

    // A log line's placeholder (see CommandRow); "{result...}" from `result`.
    std::string field(std::string_view key, const nlohmann::json* result) const;

private:
    struct Value {
        std::string text;
        std::uint32_t bits = 0;
        std::optional<std::int32_t> id;  // a handle's, when its text is one
    };
    enum class Stage { CHECKS, RECORDS };

    void check(std::string_view command, nlohmann::json& params);
    void read_records(nlohmann::json& params, std::size_t first);

    const CommandRow* row_;
    std::vector<Value> values_;
    std::vector<ReaderData> readers_;
    std::optional<std::int32_t> context_id_;
    std::optional<std::int32_t> card_id_;
    bool exceeds_records_ = false;
    std::exception_ptr refusal_;
    Stage refused_at_ = Stage::CHECKS;
    bool log_refusal_ = false;
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

// Runs a row's command with its parameters as read: its log lines, its refusal or
// its operation. Returns the response's "result"; throws on a refusal or failure.
nlohmann::json run_command(const CommandRow& row, const CommandArgs& args, const CommandCall& call);

// An operation's result list as the response's "result", its texts moved, not copied.
nlohmann::json result_of(ResultList&& list);

}  // namespace Vorn_SCard_Bridge
