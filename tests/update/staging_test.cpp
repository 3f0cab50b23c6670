#include "update/staging.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "app/handles.h"

namespace calmlane {
namespace {

namespace fs = std::filesystem;

void touch(const fs::path& file) { std::ofstream(file) << "x"; }

class StagedUpdates : public ::testing::Test {
protected:
    void SetUp() override {
        staging = updateFolder();
        fs::remove_all(staging);
    }
    void TearDown() override { fs::remove_all(staging); }
    fs::path staging;
};

// Installers of earlier downloads go, except one still running (open); the entries after it still go.
// The folder goes once empty, and its absence is no error.
TEST_F(StagedUpdates, RemovesOnlyStagedInstallersAndThenTheEmptyFolder) {
    fs::create_directories(staging / "Calmlane-Setup-dir.exe");
    const struct {
        const char* name;
        bool kept;
    } entries[] = {
        {"Calmlane-Setup-1.2.0.exe", false}, {"Calmlane-Setup-1.5.exe", true}, {"Calmlane-Setup-2.exe", false},
        {"Calmlane-Setup-1.2.0.exe.part", true}, {"Calmlane-Setup-9.EXE", true}, {"calmlane-setup-1.exe", true},
        {"notes.exe", true},
    };
    for (const auto& entry : entries) touch(staging / entry.name);
    {
        const UniqueHandle running(CreateFileW((staging / "Calmlane-Setup-1.5.exe").c_str(), GENERIC_READ,
                                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(running);
        cleanupStagedUpdates();
    }
    for (const auto& entry : entries) EXPECT_EQ(fs::exists(staging / entry.name), entry.kept) << entry.name;
    EXPECT_TRUE(fs::is_directory(staging / "Calmlane-Setup-dir.exe"));
    for (const auto& entry : entries) fs::remove(staging / entry.name);
    fs::remove(staging / "Calmlane-Setup-dir.exe");
    touch(staging / "Calmlane-Setup-1.0.exe");
    cleanupStagedUpdates();
    EXPECT_FALSE(fs::exists(staging));
    cleanupStagedUpdates();
    EXPECT_FALSE(fs::exists(staging));
}

TEST_F(StagedUpdates, FilesWhereTheFoldersShouldBeAreLeftAlone) {
    for (const fs::path& file : {staging, staging.parent_path()}) {
        SCOPED_TRACE(file.string());
        fs::remove_all(staging.parent_path());
        fs::create_directories(file.parent_path());
        touch(file);
        cleanupStagedUpdates();
        EXPECT_TRUE(fs::is_regular_file(file));
        fs::remove(file);
    }
}

// Wine shows no reparse points, so the rules are pinned on the attributes Windows would report.
TEST(StagingRules, NeverFollowOrDeleteALink) {
    constexpr unsigned long Directory = FILE_ATTRIBUTE_DIRECTORY;
    constexpr unsigned long Link = FILE_ATTRIBUTE_REPARSE_POINT;
    const struct {
        unsigned long attributes;
        bool realDirectory;
        bool installer;  // for the name Calmlane-Setup-1.2.exe
    } cases[] = {
        {Directory, true, false},
        {Directory | Link, false, false},  // a junction or a directory symbolic link
        {Directory | FILE_ATTRIBUTE_HIDDEN, true, false},
        {FILE_ATTRIBUTE_NORMAL, false, true},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, false, true},
        {FILE_ATTRIBUTE_ARCHIVE | Link, false, false},  // a file symbolic link
        {FILE_ATTRIBUTE_DEVICE, false, false},
        {INVALID_FILE_ATTRIBUTES, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isRealDirectory(c.attributes), c.realDirectory) << std::hex << c.attributes;
        EXPECT_EQ(isStagedInstaller(L"Calmlane-Setup-1.2.exe", c.attributes), c.installer) << std::hex << c.attributes;
    }
}

}  // namespace
}  // namespace calmlane
