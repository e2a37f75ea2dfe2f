// Manifests are replaced whole or not at all.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "atomic_file.h"

namespace Vorn_SCard_Bridge::installer {
namespace {

namespace fs = std::filesystem;

class InstallerAtomicWrite : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vorn-installer-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }
    static std::string read(const fs::path& file) {
        std::ifstream in(file);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::size_t entries(const fs::path& dir) const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
        return n;
    }
    fs::path root_;
};

TEST_F(InstallerAtomicWrite, WritesTheFileAndCreatesMissingFolders) {
    const fs::path target = root_ / "a/b/NativeMessagingHosts/com.vorn.scard_bridge.json";
    write_file_atomically(target, "{\"x\":1}\n");
    EXPECT_EQ(read(target), "{\"x\":1}\n");
    EXPECT_EQ(entries(target.parent_path()), 1u) << "no temporary file may be left behind";
}

TEST_F(InstallerAtomicWrite, ReplacesAnExistingFileWhole) {
    const fs::path target = root_ / "m.json";
    write_file_atomically(target, std::string(10000, 'a'));
    write_file_atomically(target, "short");
    EXPECT_EQ(read(target), "short");
    EXPECT_EQ(entries(root_), 1u);
}

TEST_F(InstallerAtomicWrite, NewFileIsReadableByEveryone) {
    const fs::path target = root_ / "m.json";
    write_file_atomically(target, "{}");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(InstallerAtomicWrite, FailureLeavesTheOldFileAndNoTemporary) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    const fs::path target = root_ / "m.json";
    write_file_atomically(target, "old");
    fs::permissions(root_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(write_file_atomically(target, "new"), fs::filesystem_error);
    fs::permissions(root_, fs::perms::owner_all);
    EXPECT_EQ(read(target), "old");
    EXPECT_EQ(entries(root_), 1u);
}

TEST_F(InstallerAtomicWrite, RenameOntoAFolderFailsAndCleansUp) {
    // Works as root too: rename(2) refuses to replace a non-empty directory by a file.
    const fs::path target = root_ / "m.json";
    fs::create_directories(target / "inside");
    EXPECT_THROW(write_file_atomically(target, "new"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(entries(root_), 1u) << "the temporary file must be removed";
}

TEST_F(InstallerAtomicWrite, ParentThatIsAFileIsReported) {
    std::ofstream(root_ / "plain") << "x";
    EXPECT_THROW(write_file_atomically(root_ / "plain/m.json", "{}"), fs::filesystem_error);
}

TEST_F(InstallerAtomicWrite, RemoveReportsWhetherTheFileWasThere) {
    const fs::path target = root_ / "m.json";
    write_file_atomically(target, "{}");
    EXPECT_TRUE(remove_file_if_present(target));
    EXPECT_FALSE(remove_file_if_present(target));
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::installer
