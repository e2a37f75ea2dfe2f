#include "scard/reader_names.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "scard/pcsc_service.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

// The reader names the service lists now, as bytes; none when it cannot list.
std::vector<std::string> list_service_names(pcsc::Handle context) {
    std::uint32_t length = 0;
    if (pcsc::list_readers(context, nullptr, length) != pcsc::SUCCESS || length == 0) return {};
    std::string buffer(length, '\0');
    if (pcsc::list_readers(context, buffer.data(), length) != pcsc::SUCCESS) return {};
    buffer.resize(std::min<std::size_t>(length, buffer.size()));

    std::vector<std::string> names;
    for (std::size_t start = 0; start < buffer.size();) {
        const std::size_t end = std::min(buffer.find('\0', start), buffer.size());
        if (end > start) names.push_back(buffer.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

// The text the extension received for a name: what a response carries it as.
std::string shown_as(const std::string& name) {
    return nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

const std::string& ServiceReaderNames::operator()(const std::string& name) {
    if (name.find(REPLACEMENT_CHARACTER) == std::string::npos) return name;
    if (!listed_) listed_ = list_service_names(context_);
    // A reader whose name really holds U+FFFD is that reader; otherwise the first one
    // listed that the extension sees under this name.
    if (std::find(listed_->begin(), listed_->end(), name) != listed_->end()) return name;
    const std::string shown = shown_as(name);
    for (const std::string& listed : *listed_) {
        if (shown_as(listed) == shown) return listed;
    }
    return name;
}

}  // namespace Vorn_SCard_Bridge
