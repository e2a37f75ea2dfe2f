#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "atomic_file.h"

namespace Vorn_SCard_Bridge::installer {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Closes the descriptor and removes the temporary file unless released.
class TempFile {
public:
    TempFile(int fd, fs::path path) : fd_(fd), path_(std::move(path)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!released_) ::unlink(path_.c_str());
    }
    int fd() const { return fd_; }
    const fs::path& path() const { return path_; }
    int close_now() {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }
    void release() { released_ = true; }

private:
    int fd_;
    fs::path path_;
    bool released_ = false;
};

void create_parents(const fs::path& dir) {
    if (dir.empty() || fs::is_directory(dir)) return;
    create_parents(dir.parent_path());
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        fail("cannot create folder", dir, errno);
    }
}

}  // namespace

void write_file_atomically(const fs::path& target, std::string_view contents,
                           fs::perms permissions) {
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    create_parents(dir);

    // The temporary name starts with a dot so that a browser scanning the folder never
    // takes it for a manifest ("<host>.json" is looked up by exact name anyway).
    std::string pattern = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) fail("cannot create a temporary file", dir, errno);
    TempFile temp(fd, fs::path(name.data()));

    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(temp.fd(), contents.data() + written, contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", temp.path(), errno);
        }
        written += static_cast<std::size_t>(n);
    }
    // mkstemp creates 0600; browsers run as the user, but a system-wide manifest must be
    // readable by everyone.
    if (::fchmod(temp.fd(), static_cast<mode_t>(permissions)) != 0)
        fail("cannot set permissions of", temp.path(), errno);
    if (::fsync(temp.fd()) != 0) fail("cannot flush", temp.path(), errno);
    if (temp.close_now() != 0) fail("cannot close", temp.path(), errno);
    if (::rename(temp.path().c_str(), target.c_str()) != 0) {
        fail("cannot move the new file into place", target, errno);
    }
    temp.release();

    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        // Best effort: some file systems refuse fsync on a directory.
        (void)::fsync(dir_fd);
        ::close(dir_fd);
    }
}

bool remove_file_if_present(const fs::path& target) {
    if (::unlink(target.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    fail("cannot remove", target, errno);
}

// A running program's file can be unlinked here.
ProgramRemoval remove_program_file(const fs::path& target) {
    return {remove_file_if_present(target), {}, false};
}

}  // namespace Vorn_SCard_Bridge::installer
