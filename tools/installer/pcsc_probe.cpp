#include <string>
#include <vector>

#include "doctor.h"
#include "scard/pcsc_service.h"

// The doctor's view of the smart-card service, through the same PC/SC adapter the
// host uses. Kept out of vorn_installer_lib so that tests link no PC/SC library.

namespace Vorn_SCard_Bridge::installer {

namespace {
constexpr std::uint32_t STATE_PRESENT = 0x20;
}  // namespace

PcscProbe probe_pcsc_service() {
    PcscProbe probe;
    pcsc::Handle context = 0;
    probe.establish_status = pcsc::establish_context(pcsc::SCOPE_USER, context);
    if (probe.establish_status != 0) return probe;
    std::uint32_t length = 0;
    probe.list_status = pcsc::list_readers(context, nullptr, length);
    if (probe.list_status == 0 && length > 0) {
        std::string buffer(length, '\0');
        probe.list_status = pcsc::list_readers(context, buffer.data(), length);
        for (std::size_t start = 0; probe.list_status == 0 && start < buffer.size();) {
            const auto end = buffer.find('\0', start);
            if (end == start || end == std::string::npos) break;
            probe.readers.push_back(buffer.substr(start, end - start));
            start = end + 1;
        }
    }
    std::vector<pcsc::ReaderState> states(probe.readers.size());
    for (std::size_t i = 0; i < states.size(); ++i)
        states[i].reader_name = probe.readers[i].c_str();
    if (!states.empty() &&
        pcsc::get_status_change(context, 0, states.data(),
                                static_cast<std::uint32_t>(states.size())) == 0) {
        for (std::size_t i = 0; i < states.size(); ++i) {
            if ((states[i].event_state & STATE_PRESENT) != 0) {
                probe.readers_with_card.push_back(probe.readers[i]);
            }
        }
    }
    pcsc::release_context(context);
    return probe;
}

}  // namespace Vorn_SCard_Bridge::installer
