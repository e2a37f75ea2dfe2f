#include "processing/command_args.h"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "support/codecs.h"
#include "support/reader_name_text.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::size_t PREVIEW_LENGTH = 16;

// A number in a request becomes a 32-bit value the way integers convert: modulo
// 2^32. A fractional number is cut towards zero first. One that no 64-bit
// integer can hold (or NaN) has no such value and is refused instead of being
// handed to an undefined conversion.
std::uint32_t integer_bits(const nlohmann::json& value) {
    if (value.is_number_float()) {
        const double number = std::trunc(value.get<double>());
        if (!std::isfinite(number) || number < -9223372036854775808.0 ||
            number >= 9223372036854775808.0) {
            throw std::runtime_error("Number out of range: " + value.dump());
        }
        return static_cast<std::uint32_t>(static_cast<std::int64_t>(number));
    }
    if (value.is_number_unsigned()) return static_cast<std::uint32_t>(value.get<std::uint64_t>());
    if (value.is_number_integer()) return static_cast<std::uint32_t>(value.get<std::int64_t>());
    // Booleans convert as the library converts them (true is 1); every other
    // type fails with the library's type error.
    return value.get<std::uint32_t>();
}

// Only arrays are read by position; the library's operator[] reports any other
// "params" with its type error (an object counts its members, a scalar 1). The
// const operator[] is the one used: it never turns a null into an array.
nlohmann::json& element(nlohmann::json& params, std::size_t index) {
    if (params.is_array() && index >= params.size()) {
        throw std::runtime_error("Missing parameter at index " + std::to_string(index));
    }
    return const_cast<nlohmann::json&>(std::as_const(params)[index]);
}

// A text taken out of the request; anything else fails with the library's type error.
std::string take_text(nlohmann::json& value) {
    if (value.is_string()) return std::move(value.get_ref<std::string&>());
    return value.get<std::string>();
}

bool is_handle(ParamKind kind) { return kind == ParamKind::CONTEXT || kind == ParamKind::CARD; }
bool is_number(ParamKind kind) { return kind == ParamKind::NUMBER || kind == ParamKind::SIGNED; }

std::string refusal(const char* text, const CommandRow& row, std::string_view command,
                    const std::string& value = {}) {
    return fill(text, [&](std::string_view key) -> std::string {
        if (key == "name") return row.name;
        if (key == "command") return std::string(command);
        return value;
    });
}

}  // namespace

CommandArgs::CommandArgs(const CommandRow& row, std::string_view command, nlohmann::json& params)
    : row_(&row) {
    std::size_t count = 0;
    while (count < row.params.size() && row.params[count].kind != ParamKind::READERS) ++count;
    values_.resize(count);

    // Where the request runs depends on its ids alone, whatever else it holds.
    for (std::size_t i = 0; i < count && params.is_array() && i < params.size(); ++i) {
        const ParamKind kind = row.params[i].kind;
        if (!is_handle(kind) || !params[i].is_string()) continue;
        try {
            values_[i].id = from_hex(params[i].get_ref<const std::string&>());
        } catch (const std::exception&) {
            continue;  // refused below, in its turn
        }
        (kind == ParamKind::CONTEXT ? context_id_ : card_id_) = values_[i].id;
    }
    if (count < row.params.size()) {
        const std::size_t given = params.size();
        exceeds_records_ =
            given > count && (given - count) / 3 > static_cast<std::size_t>(row.params[count].high);
    }

    try {
        check(command, params);
    } catch (...) {
        refusal_ = std::current_exception();
        refused_at_ = Stage::CHECKS;
        return;
    }
    try {
        read_records(params, count);
    } catch (...) {
        refusal_ = std::current_exception();
        refused_at_ = Stage::RECORDS;
    }
}

void CommandArgs::check(std::string_view command, nlohmann::json& params) {
    const CommandRow& row = *row_;
    const std::size_t count = values_.size();
    if (params.size() < count) {
        log_refusal_ = row.has(LOGS_TOO_FEW);
        throw std::runtime_error(refusal(row.refusals.too_few, row, command));
    }
    for (std::size_t i = 0; i < count; ++i) {
        nlohmann::json& value = element(params, i);
        if (is_number(row.params[i].kind)) {
            values_[i].bits = integer_bits(value);
        } else {
            values_[i].text = take_text(value);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const ParamKind kind = row.params[i].kind;
        if ((is_handle(kind) || kind == ParamKind::NAME) && values_[i].text.empty()) {
            throw std::runtime_error(refusal(row.refusals.empty, row, command));
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const ParamDescriptor& descriptor = row.params[i];
        std::int64_t value = 0;
        if (descriptor.kind == ParamKind::NUMBER) {
            value = values_[i].bits;
        } else if (descriptor.kind == ParamKind::SIGNED) {
            value = static_cast<std::int32_t>(values_[i].bits);
        } else if (descriptor.kind == ParamKind::NAME) {
            // A name stands for the service's bytes, which its shown form may spell longer.
            value = static_cast<std::int64_t>(service_reader_name(values_[i].text).size());
        } else if (!is_handle(descriptor.kind)) {
            value = static_cast<std::int64_t>(values_[i].text.size());
        }
        if (value < descriptor.low || value > descriptor.high) {
            throw std::runtime_error(
                refusal(descriptor.out_of_range, row, command, std::to_string(value)));
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!is_handle(row.params[i].kind)) continue;
        // Read above already; only a text that is no id is converted again, for its refusal.
        const std::int32_t id = values_[i].id ? *values_[i].id : from_hex(values_[i].text);
        values_[i].bits = static_cast<std::uint32_t>(id);
    }
}

void CommandArgs::read_records(nlohmann::json& params, std::size_t first) {
    if (first == row_->params.size()) return;
    const auto limit = static_cast<std::size_t>(row_->params[first].high);
    for (std::size_t i = first; i + 2 < params.size(); i += 3) {
        ReaderData reader;
        reader.current_state = integer_bits(element(params, i));
        reader.event_state = integer_bits(element(params, i + 1));
        reader.reader_name = take_text(element(params, i + 2));
        // Past one record too many the operation's refusal is decided: the rest
        // are converted (a type error in one still comes first) but not kept.
        if (readers_.size() <= limit) readers_.push_back(std::move(reader));
    }
}

void CommandArgs::refuse_if_checks_failed(const CommandCall& call) const {
    if (!refusal_ || refused_at_ != Stage::CHECKS) return;
    if (log_refusal_) {
        try {
            std::rethrow_exception(refusal_);
        } catch (const std::exception& e) {
            call.error(e.what());
        }
    }
    std::rethrow_exception(refusal_);
}

void CommandArgs::refuse_if_records_failed() const {
    if (refusal_ && refused_at_ == Stage::RECORDS) std::rethrow_exception(refusal_);
}

std::string CommandArgs::field(std::string_view key, const nlohmann::json* result) const {
    if (key.starts_with("result") && result != nullptr) {
        if (key == "result") return result->get<std::string>();
        if (key == "result.1") return result->at(1).get<std::string>();
        if (key == "result.size") return std::to_string(result->size());
        if (key == "result.names") return std::to_string(result->size() - 1);
    }
    std::size_t index = 0;
    const char* const end = key.data() + key.size();
    const auto [rest, error] = std::from_chars(key.data(), end, index);
    if (error != std::errc() || index >= values_.size()) {
        throw std::logic_error("No field " + std::string(key) + " in the lines of " + row_->name);
    }
    const std::string_view part(rest, static_cast<std::size_t>(end - rest));
    const Value& entry = values_[index];
    if (part == ".length") return std::to_string(entry.text.size());
    if (part == ".preview") {
        return entry.text.size() > PREVIEW_LENGTH ? entry.text.substr(0, PREVIEW_LENGTH) + "..."
                                                  : entry.text;
    }
    switch (row_->params[index].kind) {
        case ParamKind::CONTEXT:
        case ParamKind::CARD:
            return to_hex(value<std::int32_t>(index));
        case ParamKind::NUMBER:
            return std::to_string(value<std::uint32_t>(index));
        case ParamKind::SIGNED:
            return std::to_string(value<std::int32_t>(index));
        default:
            return entry.text;
    }
}

nlohmann::json run_command(const CommandRow& row, const CommandArgs& args,
                           const CommandCall& call) {
    call.debug([&] { return "Executing " + call.command + " command"; });
    args.refuse_if_checks_failed(call);
    const auto field = [&](const nlohmann::json* result) {
        return [&args, &call, result](std::string_view key) {
            return key == "command" ? call.command : args.field(key, result);
        };
    };
    for (const char* line : row.before) {
        call.debug([&] { return fill(line, field(nullptr)); });
    }
    args.refuse_if_records_failed();
    nlohmann::json result = row.call(args);
    call.info([&] { return fill(row.after, field(&result)); });
    return result;
}

nlohmann::json result_of(ResultList&& list) {
    nlohmann::json::array_t entries;
    entries.reserve(list.size());
    for (std::string& entry : list) entries.emplace_back(std::move(entry));
    return nlohmann::json(std::move(entries));
}

}  // namespace Vorn_SCard_Bridge
