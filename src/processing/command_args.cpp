#include "processing/command_args.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

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
// "params" with its type error (an object counts its members, a scalar 1).
const nlohmann::json& element(const nlohmann::json& params, std::size_t index) {
    if (params.is_array() && index >= params.size()) {
        throw std::runtime_error("Missing parameter at index " + std::to_string(index));
    }
    return params[index];
}

bool is_handle(ParamKind kind) { return kind == ParamKind::CONTEXT || kind == ParamKind::CARD; }
bool is_number(ParamKind kind) { return kind == ParamKind::NUMBER || kind == ParamKind::SIGNED; }

std::string refusal(const char* text, const CommandRow& row, const std::string& command,
                    const std::string& value = {}) {
    return fill(text, [&](std::string_view key) -> std::string {
        if (key == "name") return row.name;
        if (key == "command") return command;
        return value;
    });
}

}  // namespace

CommandArgs::CommandArgs(const CommandRow& row, const CommandCall& call) : row_(row), call_(call) {
    std::size_t count = 0;
    while (count < row.params.size() && row.params[count].kind != ParamKind::READERS) ++count;
    if (call.params.size() < count) {
        const std::string message = refusal(row.refusals.too_few, row, call.command);
        if (row.has(LOGS_TOO_FEW)) call.error(message);
        throw std::runtime_error(message);
    }
    values_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const nlohmann::json& value = element(call.params, i);
        if (is_number(row.params[i].kind)) {
            values_[i].bits = integer_bits(value);
        } else {
            values_[i].text = value.get<std::string>();
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const ParamKind kind = row.params[i].kind;
        if ((is_handle(kind) || kind == ParamKind::NAME) && values_[i].text.empty()) {
            throw std::runtime_error(refusal(row.refusals.empty, row, call.command));
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
                refusal(descriptor.out_of_range, row, call.command, std::to_string(value)));
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (is_handle(row.params[i].kind)) {
            values_[i].bits = static_cast<std::uint32_t>(from_hex(values_[i].text));
        }
    }
}

void CommandArgs::read_records() {
    const std::size_t first = values_.size();
    if (first == row_.params.size()) return;
    const auto limit = static_cast<std::size_t>(row_.params[first].high);
    const nlohmann::json& params = call_.params;
    for (std::size_t i = first; i + 2 < params.size(); i += 3) {
        ReaderData reader;
        reader.current_state = integer_bits(element(params, i));
        reader.event_state = integer_bits(element(params, i + 1));
        reader.reader_name = element(params, i + 2).get<std::string>();
        // Past one record too many the operation's refusal is decided: the rest
        // are converted (a type error in one still comes first) but not copied.
        if (readers_.size() <= limit) readers_.push_back(std::move(reader));
    }
}

std::string CommandArgs::field(std::string_view key, const nlohmann::json* result) const {
    if (key == "command") return call_.command;
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
        throw std::logic_error("No field " + std::string(key) + " in the lines of " + row_.name);
    }
    const std::string_view part(rest, static_cast<std::size_t>(end - rest));
    const Value& entry = values_[index];
    if (part == ".length") return std::to_string(entry.text.size());
    if (part == ".preview") {
        return entry.text.size() > PREVIEW_LENGTH ? entry.text.substr(0, PREVIEW_LENGTH) + "..."
                                                  : entry.text;
    }
    switch (row_.params[index].kind) {
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

nlohmann::json run_command(const CommandRow& row, const CommandCall& call) {
    call.debug([&] { return "Executing " + call.command + " command"; });
    CommandArgs args(row, call);
    for (const char* line : row.before) {
        call.debug([&] {
            return fill(line, [&](std::string_view key) { return args.field(key, nullptr); });
        });
    }
    args.read_records();
    nlohmann::json result = row.call(args);
    call.info(fill(row.after, [&](std::string_view key) { return args.field(key, &result); }));
    return result;
}

}  // namespace Vorn_SCard_Bridge
