#include "platform/log_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/posix/user_log_directory.h"

namespace Vorn_SCard_Bridge::platform {

namespace {

const char* const SHARED_FALLBACK_DIRECTORY = "/tmp/vorn-logs";

// /tmp is writable by every local user, so the fallback directory could have been
// made (or replaced by a symbolic link) by someone else to read or redirect our
// log. Create it private to us and refuse one that is not ours.
void make_private_directory(const std::filesystem::path& directory) {
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
        throw std::filesystem::filesystem_error("log directory is not a plain directory", directory,
                                                std::make_error_code(std::errc::not_a_directory));
    }
    if (info.st_uid != ::geteuid()) {
        throw std::filesystem::filesystem_error("log directory belongs to another user", directory,
                                                std::make_error_code(std::errc::permission_denied));
    }
    if ((info.st_mode & 0077) != 0 && ::chmod(directory.c_str(), 0700) != 0) {
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
    if (home == nullptr) {
        const std::filesystem::path directory(SHARED_FALLBACK_DIRECTORY);
        make_private_directory(directory);
        return directory;
    }
    const std::filesystem::path directory = user_log_directory(home);
    create_private_directories(directory);
    return directory;
}

}  // namespace Vorn_SCard_Bridge::platform
