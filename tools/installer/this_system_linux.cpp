#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "this_system.h"
#include "this_system_posix.h"

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

Os os() { return Os::LINUX; }

fs::path own_executable() {
    std::error_code ec;
    auto self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self;
}

bool administrators_group(gid_t group) { return group == 0; }

SmartCardService smart_card_service() {
    SmartCardService service;
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
