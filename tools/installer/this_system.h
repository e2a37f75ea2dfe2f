#pragma once

// What the installer asks of the computer it runs on and that each system answers
// its own way: its own path, what counts as a program, administrator rights, the
// smart-card service. One implementation per system (this_system_<os>.cpp).

#include <filesystem>
#include <string>
#include <string_view>

#include "browsers.h"

namespace Vorn_SCard_Bridge::installer::this_system {

// The system this program was built for.
Os os();

// This program's own file; empty when the system does not say.
std::filesystem::path own_executable();

// "vorn-scard-bridge" ("vorn-scard-bridge.exe" on Windows).
std::string_view host_file_name();

// Where the packages install the host when it is not beside this program; empty
// where it always is beside it (Windows).
std::filesystem::path installed_host_folder();

// Whether a browser can start `path` as a program: executable for us on POSIX, a
// .exe (or .com, .bat, .cmd) file on Windows.
bool is_program(const std::filesystem::path& path);

// Who, besides the administrator, may replace the program at `path` (it or a folder
// above it is theirs or open to them for writing), in words; empty when nobody. A host
// registered for every user must be safe from them: they would choose what every
// user's browser starts. POSIX looks at owners and modes; on Windows the installer
// copies such a host into Program Files, and a --host named there is taken as given.
std::string others_who_may_replace(const std::filesystem::path& path);

// Root on POSIX, an elevated administrator on Windows.
bool running_elevated();
// Who that is ("root", "an administrator") and how a person gets there, for messages.
std::string_view administrator();
std::string_view how_to_run_as_administrator();

// This program has a console window of its own that closes when it ends: Windows
// started it from Explorer (a double-click), not from a command prompt. False elsewhere.
bool console_closes_on_exit();
// Waits for a key in that window; returns at once when the input is not a console.
void wait_for_key_press();

// A write to a pipe whose reader has gone fails with an error instead of ending
// the process (POSIX's SIGPIPE); nothing to do elsewhere.
void ignore_broken_pipes();

// The service through which programs reach smart cards (pcscd, Windows' SCardSvr),
// as the system sees it before anyone talks to it.
struct SmartCardService {
    enum class State {
        UNKNOWN,  // not looked at (macOS), or the system would not say
        RUNNING,
        STOPPED,
        MISSING,  // not installed
        DISABLED,
    };
    State state = State::UNKNOWN;
    // What was seen, in plain words; may be empty for a running service that needs
    // no mention.
    std::string text;
    // How to start it (also for a running one that then refuses programs).
    std::string fix;
    // The system starts it when it is needed (a reader plugged in, a program that
    // connects): stopped is not a fault by itself.
    bool starts_on_demand = false;
};
SmartCardService smart_card_service();

}  // namespace Vorn_SCard_Bridge::installer::this_system
