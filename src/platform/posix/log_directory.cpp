#include "platform/log_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/posix/user_log_directory.h"

namespace Vorn_SCard_Bridge::platform {

namespace {

const char* const SHARED_FALLBACK_DIRECTORY = "/tmp/vorn-logs";

std::filesystem::filesystem_error refused(const char* what, const std::filesystem::path& path,
                                          std::errc reason) {
    return std::filesystem::filesystem_error(what, path, std::make_error_code(reason));
}

// /tmp is writable by every local user (and XDG_STATE_HOME may name such a folder),
// so the log folder could have been made (or replaced by a symbolic link) by someone
// else to read or redirect our log. Create it private to us and refuse one that is
// not ours.
// `make_private`: also take group and other users' rights away (a folder named
// for the log; not one the host was merely given).
void make_private_directory(const std::filesystem::path& directory, bool make_private = true) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::filesystem::filesystem_error("cannot create log directory", directory,
                                                std::error_code(errno, std::generic_category()));
    }
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) {
        throw std::filesystem::filesystem_error("cannot inspect log directory", directory,
                                                std::error_code(errno, std::generic_category()));
    }
    if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode)) {
        throw refused("log directory is not a plain directory", directory,
                      std::errc::not_a_directory);
    }
    if (info.st_uid != ::geteuid()) {
        throw refused("log directory belongs to another user", directory,
                      std::errc::permission_denied);
    }
    if (make_private && (info.st_mode & 0077) != 0 && ::chmod(directory.c_str(), 0700) != 0) {
        throw std::filesystem::filesystem_error("cannot make log directory private", directory,
                                                std::error_code(errno, std::generic_category()));
    }
}

// Directories made here are private (0700): the log names the readers, cards and
// requests of its user, and the desktop convention asks it of new state folders.
void create_private_directories(const std::filesystem::path& directory) {
    std::filesystem::path made;
    for (const std::filesystem::path& part : directory) {
        made /= part;
        if (::mkdir(made.c_str(), 0700) == 0 || errno == EEXIST) continue;
        const int error = errno;
        std::error_code ignored;
        if (std::filesystem::is_directory(made, ignored)) continue;  // not ours to make
        throw std::filesystem::filesystem_error("cannot create log directory", made,
                                                std::error_code(error, std::generic_category()));
    }
    if (!std::filesystem::is_directory(directory)) {
        throw std::filesystem::filesystem_error("cannot create log directory", directory,
                                                std::make_error_code(std::errc::not_a_directory));
    }
}

}  // namespace

std::filesystem::path log_directory() {
    const char* home = std::getenv("HOME");
    // Only an absolute HOME is the user's: an empty or relative one would put the log
    // wherever the host happens to be started.
    if (home == nullptr || *home != '/') {
        const std::filesystem::path directory(SHARED_FALLBACK_DIRECTORY);
        make_private_directory(directory);
        return directory;
    }
    const std::filesystem::path directory = user_log_directory(home);
    create_private_directories(directory.parent_path());
    make_private_directory(directory);
    return directory;
}

spdlog::file_event_handlers log_file_handlers() {
    // The file as created and checked, to be found again in what the library opens.
    auto created = std::make_shared<std::pair<dev_t, ino_t>>();
    spdlog::file_event_handlers handlers;
    handlers.before_open = [created](const spdlog::filename_t& name) {
        const std::filesystem::path file(name);
        // Removed meanwhile, the folder is made again private, not as the library would.
        make_private_directory(file.parent_path(), false);
        const int fd = ::open(
            file.c_str(),
            O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0) {
            throw std::filesystem::filesystem_error(
                "cannot open log file", file, std::error_code(errno, std::generic_category()));
        }
        struct stat info {};
        // A second name (a hard link) would let its owner read or grow the log.
        const bool private_file = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                                  info.st_uid == ::geteuid() && info.st_nlink == 1 &&
                                  ((info.st_mode & 0077) == 0 || ::fchmod(fd, 0600) == 0);
        ::close(fd);
        if (!private_file) {
            throw refused("log file is not a private file of ours", file,
                          std::errc::permission_denied);
        }
        *created = {info.st_dev, info.st_ino};
    };
    handlers.after_open = [created](const spdlog::filename_t& name, std::FILE* stream) {
        struct stat info {};
        if (::fstat(::fileno(stream), &info) != 0 || info.st_dev != created->first ||
            info.st_ino != created->second) {
            throw refused("log file was replaced while it was opened", name,
                          std::errc::permission_denied);
        }
    };
    return handlers;
}

}  // namespace Vorn_SCard_Bridge::platform
