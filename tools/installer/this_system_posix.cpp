#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#ifdef __APPLE__
#include <grp.h>
#include <mach-o/dyld.h>

#include <climits>
#endif

#include "installer_config.h"
#include "this_system.h"

namespace Vorn_SCard_Bridge::installer::this_system {

namespace fs = std::filesystem;

namespace {

bool path_exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string pcscd_socket_path() {
    if (const char* custom = std::getenv("PCSCLITE_CSOCK_NAME"); custom != nullptr && *custom) {
        return custom;
    }
    return "/run/pcscd/pcscd.comm";
}

// True when something accepts connections on the pcscd socket.
bool socket_answers(const std::string& path) {
    // Not close-on-exec (macOS has no SOCK_CLOEXEC): it lives for one connect, and the
    // doctor starts no process meanwhile.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        ::close(fd);
        return false;
    }
    std::copy(path.begin(), path.end(), address.sun_path);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string how_to_start_pcscd() {
    if (!path_exists("/usr/sbin/pcscd")) {
        return "pcscd is not installed: sudo apt-get install pcscd (Debian/Ubuntu), "
               "sudo dnf install pcsc-lite (Fedora).";
    }
    if (path_exists("/run/systemd/system")) {
        return "Start it and keep it started: sudo systemctl enable --now pcscd.socket";
    }
    return "Start it: sudo /usr/sbin/pcscd (this machine has no systemd to start it on demand).";
}

}  // namespace

Os os() {
#ifdef __APPLE__
    return Os::MACOS;
#else
    return Os::LINUX;
#endif
}

fs::path own_executable() {
#ifdef __APPLE__
    char buffer[PATH_MAX];
    uint32_t size = sizeof buffer;
    if (_NSGetExecutablePath(buffer, &size) == 0) {
        std::error_code ec;
        auto resolved = fs::canonical(buffer, ec);
        return ec ? fs::path(buffer) : resolved;
    }
    return {};
#else
    std::error_code ec;
    auto self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self;
#endif
}

std::string_view host_file_name() { return "vorn-scard-bridge"; }

fs::path installed_host_folder() { return VORN_INSTALL_FULL_BINDIR; }

bool is_program(const fs::path& path) { return ::access(path.c_str(), X_OK) == 0; }

namespace {

// Groups whose members may become root anyway: writing for them is no way up.
bool administrators_group(gid_t group) {
#ifdef __APPLE__
    // macOS's "admin" group owns /Applications and may use sudo.
    if (const struct group* admin = ::getgrnam("admin");
        admin != nullptr && admin->gr_gid == group) {
        return true;
    }
#endif
    return group == 0;
}

}  // namespace

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

SmartCardService smart_card_service() {
    SmartCardService service;
    // macOS's smart-card service has no socket of its own to look at: the probe
    // through PC/SC says whether it answers.
    if (os() != Os::LINUX) {
        service.fix = "Restart the Mac.";
        return service;
    }
    const std::string socket = pcscd_socket_path();
    if (!path_exists(socket)) {
        service.state = path_exists("/usr/sbin/pcscd") ? SmartCardService::State::STOPPED
                                                       : SmartCardService::State::MISSING;
        service.text = "pcscd is not running (no socket at " + socket +
                       "). Without it no program sees a reader.";
        service.fix = how_to_start_pcscd();
        return service;
    }
    if (!socket_answers(socket)) {
        service.state = SmartCardService::State::STOPPED;
        service.text = socket +
                       " exists but nobody answers on it: pcscd has stopped or "
                       "crashed, or you may not connect to it.";
        service.fix = how_to_start_pcscd() +
                      " If it runs, check polkit rules for pcscd "
                      "(journalctl -u pcscd).";
        return service;
    }
    service.state = SmartCardService::State::RUNNING;
    service.fix = how_to_start_pcscd();
    return service;
}

}  // namespace Vorn_SCard_Bridge::installer::this_system
