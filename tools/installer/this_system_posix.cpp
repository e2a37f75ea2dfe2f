#include "this_system_posix.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installer_config.h"
#include "this_system.h"

// What Linux and macOS answer alike; what differs is in this_system_linux.cpp and
// this_system_macos.cpp.

namespace Vorn_SCard_Bridge::installer::this_system {

namespace fs = std::filesystem;

std::string_view host_file_name() { return "vorn-scard-bridge"; }

fs::path installed_host_folder() { return VORN_INSTALL_FULL_BINDIR; }

bool is_program(const fs::path& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string others_who_may_replace(const fs::path& path) {
    // The path as the manifest names it (a link on the way may be someone's) and the
    // file it leads to, with the folders above each.
    auto first_open = [](const fs::path& file, bool follow_links) -> std::string {
        for (fs::path at = file;; at = at.parent_path()) {
            struct stat info {};
            if ((follow_links ? ::stat(at.c_str(), &info) : ::lstat(at.c_str(), &info)) != 0) {
                return {};
            }
            if (info.st_uid != 0) {
                return "user " + std::to_string(info.st_uid) + " (the owner of " + at.string() +
                       ")";
            }
            // A sticky folder (/tmp) lets others add files, not replace root's; a link's
            // own mode means nothing.
            const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
            if (S_ISLNK(info.st_mode) || sticky) {
                // only the owner matters
            } else if ((info.st_mode & S_IWOTH) != 0) {
                return "every user (" + at.string() + " is writable by all)";
            } else if ((info.st_mode & S_IWGRP) != 0 && !administrators_group(info.st_gid)) {
                return "group " + std::to_string(info.st_gid) + " (" + at.string() +
                       " is writable by the group)";
            }
            if (at == at.parent_path()) return {};
        }
    };
    std::error_code ec;
    const fs::path named = fs::absolute(path, ec).lexically_normal();
    if (ec) return {};
    if (std::string who = first_open(named, false); !who.empty()) return who;
    const fs::path real = fs::canonical(named, ec);
    return ec || real == named ? std::string() : first_open(real, true);
}

bool running_elevated() { return ::geteuid() == 0; }
std::string_view administrator() { return "root"; }
std::string_view how_to_run_as_administrator() { return "run it with sudo"; }

// A terminal stays open after the program ends.
bool console_closes_on_exit() { return false; }
void wait_for_key_press() {}

void ignore_broken_pipes() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace Vorn_SCard_Bridge::installer::this_system
