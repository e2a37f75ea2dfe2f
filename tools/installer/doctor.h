#pragma once

// `doctor`: looks at everything between a browser and a card and says, in plain
// words, what is wrong and how to fix it.

#include <chrono>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "browsers.h"
#include "install_plan.h"
#include "registry.h"
#include "this_system.h"

namespace Vorn_SCard_Bridge::installer {

enum class Level { OK, NOTE, WARNING, PROBLEM };

struct Finding {
    Level level = Level::NOTE;
    std::string topic;  // "Google Chrome", "pcscd", "host", ...
    std::string text;   // what was seen
    std::string fix;    // what to do, may be empty
};

struct DoctorOptions {
    std::vector<CustomTarget> custom_targets;
    std::vector<std::string> expected_ids;  // --extension-id / --firefox-id: must be allowed
    std::optional<std::filesystem::path> host_path;  // also probe this host
    // Windows: where the browsers find their manifests (system_registry()); none elsewhere.
    const Registry* registry = nullptr;
    bool check_pcsc = true;
    // This computer's smart-card service, looked at before the probe when the doctor
    // checks this computer's system (not another one's folders, --os).
    std::function<this_system::SmartCardService()> smart_card_service =
        this_system::smart_card_service;
    bool check_host = true;
    std::chrono::milliseconds answer_timeout{5000};
    // Chromium closes the pipes when an extension disconnects and kills the host 2 s later.
    std::chrono::milliseconds exit_grace{2000};
};

// The PC/SC side, behind a seam so that tests can run the doctor without pcscd.
struct PcscProbe {
    std::int32_t establish_status = 0;
    std::vector<std::string> readers;
    std::vector<std::string> readers_with_card;
    std::int32_t list_status = 0;
};
using PcscProbeFunction = std::function<PcscProbe()>;
// The real one (pcsc_probe.cpp, linked into the program only).
PcscProbe probe_pcsc_service();

class DoctorReport {
public:
    void add(Level level, std::string topic, std::string text, std::string fix = {});
    const std::vector<Finding>& findings() const { return findings_; }
    int count(Level level) const;
    void print(std::ostream& out) const;

private:
    std::vector<Finding> findings_;
};

DoctorReport run_doctor(const DoctorOptions& options, const Environment& env,
                        const PcscProbeFunction& pcsc);

// Plain-word text for the status codes the doctor meets.
std::string describe_status(std::int32_t status, Os os);

}  // namespace Vorn_SCard_Bridge::installer
