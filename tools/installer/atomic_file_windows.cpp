#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#include "atomic_file.h"

// CMake defines WIN32_LEAN_AND_MEAN and NOMINMAX for Windows builds.
#include <windows.h>

namespace Vorn_SCard_Bridge::installer {

namespace fs = std::filesystem;

namespace {

constexpr DWORD WRITE_STEP = 1u << 20;
constexpr int NAME_TRIES = 16;

// The portable error for the Windows errors people can act on (so that callers can
// ask for std::errc::permission_denied); the system's own code otherwise.
std::error_code error_code(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return std::make_error_code(std::errc::permission_denied);
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return std::make_error_code(std::errc::no_such_file_or_directory);
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return std::make_error_code(std::errc::file_exists);
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return std::make_error_code(std::errc::no_space_on_device);
        case ERROR_WRITE_PROTECT:
            return std::make_error_code(std::errc::read_only_file_system);
        default:
            return {static_cast<int>(error), std::system_category()};
    }
}

[[noreturn]] void fail(const std::string& what, const fs::path& path, DWORD error) {
    throw fs::filesystem_error(what + " (Windows error " + std::to_string(error) + ")", path,
                               error_code(error));
}

// Closes the handle and deletes the temporary file unless released.
class TempFile {
public:
    TempFile(HANDLE handle, fs::path path) : handle_(handle), path_(std::move(path)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        if (!released_) DeleteFileW(path_.c_str());
    }
    HANDLE handle() const { return handle_; }
    const fs::path& path() const { return path_; }
    bool close_now() {
        const bool ok = CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        return ok;
    }
    void release() { released_ = true; }

private:
    HANDLE handle_;
    fs::path path_;
    bool released_ = false;
};

// A new file beside `target`, named so that a browser never takes it for a manifest.
TempFile create_temporary(const fs::path& dir, const fs::path& target) {
    const std::wstring stem = L"." + target.filename().wstring() + L".";
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < NAME_TRIES && error == ERROR_FILE_EXISTS; ++attempt) {
        const fs::path name = dir / (stem + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(GetTickCount64() + attempt));
        const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return TempFile(handle, name);
        error = GetLastError();
    }
    fail("cannot create a temporary file", dir, error);
}

}  // namespace

void write_file_atomically(const fs::path& target, std::string_view contents, fs::perms) {
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw fs::filesystem_error("cannot create folder", dir, ec);

    TempFile temp = create_temporary(dir, target);
    std::size_t written = 0;
    while (written < contents.size()) {
        const DWORD step =
            static_cast<DWORD>(std::min<std::size_t>(contents.size() - written, WRITE_STEP));
        DWORD done = 0;
        if (!WriteFile(temp.handle(), contents.data() + written, step, &done, nullptr)) {
            fail("cannot write", temp.path(), GetLastError());
        }
        written += done;
    }
    if (!FlushFileBuffers(temp.handle())) fail("cannot flush", temp.path(), GetLastError());
    if (!temp.close_now()) fail("cannot close", temp.path(), GetLastError());
    // MOVEFILE_WRITE_THROUGH returns once the move is on disk, which is what the
    // folder's fsync does on POSIX.
    if (!MoveFileExW(temp.path().c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        fail("cannot move the new file into place", target, GetLastError());
    }
    temp.release();
}

bool remove_file_if_present(const fs::path& target) {
    if (DeleteFileW(target.c_str())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    fail("cannot remove", target, error);
}

ProgramRemoval remove_program_file(const fs::path& target) {
    if (DeleteFileW(target.c_str())) return {true, {}};
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
        fail("cannot remove", target, error);
    }
    // Running. GetTempFileNameW makes an empty file with a new name, which the move
    // replaces; the move fails when the temporary folder is on another drive.
    std::wstring folder(MAX_PATH + 1, L'\0');
    const DWORD length = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    std::wstring aside(MAX_PATH + 1, L'\0');
    if (length == 0 || length > folder.size() ||
        GetTempFileNameW(folder.c_str(), L"vsb", 0, aside.data()) == 0) {
        fail("cannot remove (it runs), nor find a temporary folder to move it to", target, error);
    }
    aside.resize(wcsnlen(aside.c_str(), aside.size()));
    if (!MoveFileExW(target.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD move_error = GetLastError();
        DeleteFileW(aside.c_str());
        fail("cannot remove (it runs) nor move it away", target, move_error);
    }
    // Needs an administrator; for anyone else the file stays in the temporary folder.
    const bool at_restart = MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
    return {true, fs::path(aside), at_restart};
}

}  // namespace Vorn_SCard_Bridge::installer
