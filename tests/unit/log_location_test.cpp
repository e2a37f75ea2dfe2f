// Where the log file lies: the desktop's per-user place for logs below HOME (on
// Linux $XDG_STATE_HOME, by default ~/.local/state), or a private shared
// directory without an absolute HOME; and how the log file in it is opened.

#include "logging/log_location.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include "platform/log_directory.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

namespace fs = std::filesystem;

const fs::path SHARED_DIRECTORY = "/tmp/vorn-logs";
#if defined(__APPLE__)
constexpr bool XDG_LAYOUT = false;
const fs::path SUBDIRECTORIES = fs::path("Library") / "Logs" / "Vorn Smart Card Bridge";
#else
constexpr bool XDG_LAYOUT = true;
const fs::path SUBDIRECTORIES = fs::path(".local") / "state" / "vorn-scard-bridge";
#endif

// Sets an environment variable for one test and puts back whatever it was (or its
// absence).
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) saved = value;
    }
    ~EnvGuard() {
        if (saved) {
            ::setenv(name_, saved->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    void set(const std::string& value) { ::setenv(name_, value.c_str(), 1); }
    void unset() { ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> saved;
};

// HOME for one test, with XDG_STATE_HOME unset unless the test sets it.
class HomeGuard : public EnvGuard {
public:
    HomeGuard() : EnvGuard("HOME") { state.unset(); }
    EnvGuard state{"XDG_STATE_HOME"};
};

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vorn-log-location-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct HomeCase {
    const char* name;
    std::string home_suffix;  // appended to a fresh temporary directory
};

class LogDirectoryUnderHome : public ::testing::TestWithParam<HomeCase> {};

TEST_P(LogDirectoryUnderHome, IsTheDesktopsPlaceForLogs) {
    TempDir temp;
    HomeGuard home;
    const std::string home_value = temp.path().string() + GetParam().home_suffix;
    home.set(home_value);
    const fs::path expected = temp.path() / "u" / SUBDIRECTORIES;

    const fs::path directory = get_log_directory();
    EXPECT_EQ(directory.string(), expected.string());
    EXPECT_EQ(directory.string().find("//"), std::string::npos) << directory;
    EXPECT_TRUE(fs::is_directory(expected));

    const fs::path file = get_log_file_path("vorn_scard_bridge.log");
    EXPECT_EQ(file.string(), (expected / "vorn_scard_bridge.log").string());
}

INSTANTIATE_TEST_SUITE_P(Home, LogDirectoryUnderHome,
                         ::testing::Values(HomeCase{"Plain", "/u"},
                                           // No doubled slash after a trailing one.
                                           HomeCase{"TrailingSlash", "/u/"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LogDirectory, SecondCallFindsTheDirectoryInPlace) {
    TempDir temp;
    HomeGuard home;
    home.set(temp.path().string());
    const fs::path first = get_log_directory();
    const fs::path marker = first / "kept.txt";
    std::ofstream(marker) << "x";
    const fs::path second = get_log_directory();
    EXPECT_EQ(first, second);
    EXPECT_TRUE(fs::exists(marker)) << "an existing directory must be left as it is";
}

// The folders it makes are the user's alone (the log names readers, cards and
// requests); folders that exist keep their mode.
TEST(LogDirectory, FoldersItMakesArePrivate) {
    TempDir temp;
    HomeGuard home;
    home.set((temp.path() / "u").string());
    fs::create_directories(temp.path() / "u");
    fs::permissions(temp.path() / "u", fs::perms(0755));
    const mode_t old_mask = ::umask(0);
    const fs::path directory = get_log_directory();
    ::umask(old_mask);
    EXPECT_EQ(fs::status(directory).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(
        fs::status(temp.path() / "u" / *SUBDIRECTORIES.begin()).permissions() & fs::perms::all,
        fs::perms::owner_all);
    EXPECT_EQ(fs::status(temp.path() / "u").permissions() & fs::perms::all, fs::perms(0755));
}

struct StateHomeCase {
    const char* name;
    std::string state_home;  // "@" stands for a fresh temporary directory
    bool used;               // else the default below HOME
};

class LogDirectoryStateHome : public ::testing::TestWithParam<StateHomeCase> {};

TEST_P(LogDirectoryStateHome, IsUsedOnlyWhenAbsolute) {
    if (!XDG_LAYOUT) GTEST_SKIP() << "the desktop convention of Linux";
    TempDir temp;
    HomeGuard home;
    home.set((temp.path() / "u").string());
    std::string state = GetParam().state_home;
    if (state == "@") state = (temp.path() / "state").string();
    home.state.set(state);
    const fs::path expected = GetParam().used ? fs::path(state) / "vorn-scard-bridge"
                                              : temp.path() / "u" / SUBDIRECTORIES;
    EXPECT_EQ(get_log_directory().string(), expected.string());
    EXPECT_TRUE(fs::is_directory(expected));
}

INSTANTIATE_TEST_SUITE_P(
    StateHome, LogDirectoryStateHome,
    ::testing::Values(StateHomeCase{"Absolute", "@", true},
                      // The convention: an empty or relative setting is ignored.
                      StateHomeCase{"Empty", "", false},
                      StateHomeCase{"RelativeIgnored", "state", false}),
    [](const auto& info) { return std::string(info.param.name); });

// XDG_STATE_HOME may name a folder others can write (/tmp): the log's own folder
// in it must be a plain folder of ours.
TEST(LogDirectory, AStateFolderOfAnotherUserOrALinkIsRefused) {
    if (!XDG_LAYOUT) GTEST_SKIP() << "the desktop convention of Linux";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
    for (const bool link : {false, true}) {
        TempDir temp;
        HomeGuard home;
        home.set((temp.path() / "u").string());
        home.state.set(temp.path().string());
        const fs::path planted = temp.path() / "vorn-scard-bridge";
        if (link) {
            fs::create_directory(temp.path() / "elsewhere");
            fs::create_directory_symlink(temp.path() / "elsewhere", planted);
        } else {
            fs::create_directory(planted);
            ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
        }
        EXPECT_THROW(get_log_directory(), fs::filesystem_error) << (link ? "link" : "owner");
    }
}

TEST(LogDirectory, FileInTheWayRaisesFilesystemError) {
    TempDir temp;
    HomeGuard home;
    home.set(temp.path().string());
    std::ofstream(temp.path() / *SUBDIRECTORIES.begin()) << "not a directory";

    EXPECT_THROW(get_log_directory(), fs::filesystem_error);
    EXPECT_THROW(get_log_file_path("vorn_scard_bridge.log"), fs::filesystem_error);
    try {
        get_log_directory();
    } catch (const fs::filesystem_error& e) {
        // The error names the path that could not be made.
        EXPECT_NE(std::string(e.what()).find(temp.path().string()), std::string::npos) << e.what();
    }
}

TEST(LogFilePath, EmptyNameGivesEmptyPathAndCreatesNothing) {
    TempDir temp;
    HomeGuard home;
    const fs::path fresh_home = temp.path() / "never-made";
    home.set(fresh_home.string());
    EXPECT_TRUE(get_log_file_path("").empty());
    EXPECT_FALSE(fs::exists(fresh_home));
}

struct FileNameCase {
    const char* name;
    std::string file_name;
    std::string expected_relative;  // to the log directory; empty: the name as given
};

class LogFilePathJoin : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(LogFilePathJoin, PlacesTheNameByPathRules) {
    TempDir temp;
    HomeGuard home;
    home.set(temp.path().string());
    const fs::path directory = temp.path() / SUBDIRECTORIES;
    const fs::path expected = GetParam().expected_relative.empty()
                                  ? fs::path(GetParam().file_name)
                                  : directory / GetParam().expected_relative;
    EXPECT_EQ(get_log_file_path(GetParam().file_name).string(), expected.string());
    // The directory is made either way.
    EXPECT_TRUE(fs::is_directory(directory));
}

INSTANTIATE_TEST_SUITE_P(
    Names, LogFilePathJoin,
    ::testing::Values(FileNameCase{"RelativeName", "vorn_scard_bridge.log",
                                   "vorn_scard_bridge.log"},
                      FileNameCase{"RelativeSubpath", "old/host.log", "old/host.log"},
                      // An absolute path replaces the directory.
                      FileNameCase{"AbsoluteName", "/var/tmp/elsewhere.log", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- without HOME

// The shared fallback lies in /tmp, which every user can write: it must end up
// private to us, and one that is not a plain directory of ours is refused. These
// cases run in child processes with a private, empty /tmp of their own, so that
// they neither see nor disturb the machine's real /tmp/vorn-logs.

bool make_private_tmp() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("vorn-test-tmp", "/tmp", "tmpfs", 0, "mode=1777") == 0;
}

// Whether this machine lets a process have a /tmp of its own (root with the
// right to make mount namespaces). Probed in a throw-away child.
bool private_tmp_possible() {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) ::_exit(make_private_tmp() ? 0 : 1);
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

enum class Planted {
    NOTHING,
    OPEN_DIRECTORY,
    SYMLINK_TO_DIRECTORY,
    DANGLING_SYMLINK,
    PLAIN_FILE,
    DIRECTORY_OF_ANOTHER_USER
};

struct SharedCase {
    const char* name;
    Planted planted;
    bool refused;
    const char* home = nullptr;  // HOME's value; unset when null
};

// Puts the case's thing at /tmp/vorn-logs; false if it could not be made.
bool plant(Planted planted) {
    const char* path = SHARED_DIRECTORY.c_str();
    switch (planted) {
        case Planted::NOTHING:
            return true;
        case Planted::OPEN_DIRECTORY:
            return ::mkdir(path, 0755) == 0 && ::chmod(path, 0755) == 0;
        case Planted::SYMLINK_TO_DIRECTORY:
            return ::mkdir("/tmp/elsewhere", 0777) == 0 && ::symlink("/tmp/elsewhere", path) == 0;
        case Planted::DANGLING_SYMLINK:
            return ::symlink("/tmp/nowhere", path) == 0;
        case Planted::PLAIN_FILE: {
            std::ofstream(SHARED_DIRECTORY) << "planted";
            return fs::is_regular_file(SHARED_DIRECTORY);
        }
        case Planted::DIRECTORY_OF_ANOTHER_USER:
            return ::mkdir(path, 0700) == 0 && ::chown(path, 65534, 65534) == 0;
    }
    return false;
}

// Runs in the child: 0 when get_log_directory behaved, else 1 with the reason.
int check_shared_directory(const SharedCase& c) {
    if (!make_private_tmp()) {
        std::fprintf(stderr, "no private /tmp\n");
        return 1;
    }
    ::umask(0);  // the directory must be private whatever the umask
    if (!plant(c.planted)) {
        std::fprintf(stderr, "could not plant the case\n");
        return 1;
    }
    if (c.home != nullptr) {
        ::setenv("HOME", c.home, 1);
    } else {
        ::unsetenv("HOME");
    }
    try {
        const fs::path directory = get_log_directory();
        if (c.refused) {
            std::fprintf(stderr, "accepted %s\n", directory.c_str());
            return 1;
        }
        struct stat info {};
        if (directory != SHARED_DIRECTORY || ::lstat(directory.c_str(), &info) != 0 ||
            !S_ISDIR(info.st_mode) || (info.st_mode & 07777) != 0700 ||
            info.st_uid != ::geteuid()) {
            std::fprintf(stderr, "directory %s mode %o uid %u\n", directory.c_str(),
                         static_cast<unsigned>(info.st_mode & 07777),
                         static_cast<unsigned>(info.st_uid));
            return 1;
        }
        if (get_log_file_path("vorn_scard_bridge.log") !=
            SHARED_DIRECTORY / "vorn_scard_bridge.log") {
            std::fprintf(stderr, "wrong file path\n");
            return 1;
        }
    } catch (const fs::filesystem_error& e) {
        if (!c.refused) {
            std::fprintf(stderr, "refused: %s\n", e.what());
            return 1;
        }
        // The refusal names the directory.
        if (std::string(e.what()).find(SHARED_DIRECTORY.string()) == std::string::npos) {
            std::fprintf(stderr, "refusal without the path: %s\n", e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "behaved\n");
    return 0;
}

class SharedLogDirectoryDeathTest : public ::testing::TestWithParam<SharedCase> {};

TEST_P(SharedLogDirectoryDeathTest, IsPrivateAndOurs) {
    if (!private_tmp_possible()) GTEST_SKIP() << "no private /tmp possible on this machine";
    const SharedCase c = GetParam();
    EXPECT_EXIT(vorn_test::exit_child(check_shared_directory(c)), ::testing::ExitedWithCode(0),
                "behaved");
}

INSTANTIATE_TEST_SUITE_P(
    WithoutHome, SharedLogDirectoryDeathTest,
    ::testing::Values(SharedCase{"CreatedPrivate", Planted::NOTHING, false},
                      SharedCase{"OpenDirectoryMadePrivate", Planted::OPEN_DIRECTORY, false},
                      SharedCase{"SymlinkToDirectoryRefused", Planted::SYMLINK_TO_DIRECTORY, true},
                      SharedCase{"DanglingSymlinkRefused", Planted::DANGLING_SYMLINK, true},
                      SharedCase{"PlainFileRefused", Planted::PLAIN_FILE, true},
                      SharedCase{"OtherUsersDirectoryRefused", Planted::DIRECTORY_OF_ANOTHER_USER,
                                 true},
                      // Not the user's: the log would go wherever the host was started.
                      SharedCase{"EmptyHomeUsesIt", Planted::NOTHING, false, ""},
                      SharedCase{"RelativeHomeUsesIt", Planted::NOTHING, false, "home/u"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the file

enum class InFolder { NOTHING, OPEN_FILE, LINK_TO_NEW_FILE, LINK_TO_FILE, HARD_LINK };

struct FileCase {
    const char* name;
    InFolder planted;
    bool refused;
};

class LogFileOpening : public ::testing::TestWithParam<FileCase> {};

// The log file is opened the way the Logger opens it: through the rotating sink.
TEST_P(LogFileOpening, IsAPrivateFileOfOursNeverReachedThroughALink) {
    TempDir temp;
    const fs::path folder = temp.path() / "logs";
    fs::create_directory(folder);
    const fs::path file = folder / "vorn_scard_bridge.log";
    const fs::path target = temp.path() / "target";
    switch (GetParam().planted) {
        case InFolder::NOTHING:
            break;
        case InFolder::OPEN_FILE:
            std::ofstream(file) << "old\n";
            fs::permissions(file, fs::perms(0644));
            break;
        case InFolder::LINK_TO_NEW_FILE:
            fs::create_symlink(target, file);
            break;
        case InFolder::LINK_TO_FILE:
            std::ofstream(target) << "someone's\n";
            fs::create_symlink(target, file);
            break;
        case InFolder::HARD_LINK:
            std::ofstream(target) << "someone's\n";
            fs::create_hard_link(target, file);
            break;
    }
    const mode_t old_mask = ::umask(0);
    bool opened = false;
    try {
        spdlog::sinks::rotating_file_sink_st sink(file.string(), 1024 * 1024, 3, false,
                                                  platform::log_file_handlers());
        opened = true;
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
    }
    ::umask(old_mask);
    EXPECT_EQ(opened, !GetParam().refused);
    if (opened) {
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    // Nothing was made or written through the planted name.
    if (GetParam().planted == InFolder::LINK_TO_NEW_FILE) {
        EXPECT_FALSE(fs::exists(target));
    }
    if (fs::exists(target)) {
        std::ifstream in(target);
        std::string content;
        std::getline(in, content);
        EXPECT_EQ(content, "someone's");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Planted, LogFileOpening,
    ::testing::Values(FileCase{"NewFileIsPrivate", InFolder::NOTHING, false},
                      FileCase{"OpenFileMadePrivate", InFolder::OPEN_FILE, false},
                      FileCase{"LinkToANewFileRefused", InFolder::LINK_TO_NEW_FILE, true},
                      FileCase{"LinkToAFileRefused", InFolder::LINK_TO_FILE, true},
                      FileCase{"SecondNameRefused", InFolder::HARD_LINK, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge
