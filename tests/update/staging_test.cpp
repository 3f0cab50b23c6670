#include "update/staging.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

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

TEST_F(StagedUpdates, RemovesOnlyStagedInstallersAndKeepsAFolderThatIsNotEmpty) {
    fs::create_directories(staging);
    touch(staging / "Calmlane-Setup-1.2.0.exe");
    touch(staging / "Calmlane-Setup-2.exe");
    touch(staging / "Calmlane-Setup-1.2.0.exe.part");
    touch(staging / "Calmlane-Setup-9.EXE");
    touch(staging / "notes.exe");
    fs::create_directories(staging / "Calmlane-Setup-dir.exe");
    cleanupStagedUpdates();
    EXPECT_FALSE(fs::exists(staging / "Calmlane-Setup-1.2.0.exe"));
    EXPECT_FALSE(fs::exists(staging / "Calmlane-Setup-2.exe"));
    EXPECT_TRUE(fs::exists(staging / "Calmlane-Setup-1.2.0.exe.part"));
    EXPECT_TRUE(fs::exists(staging / "Calmlane-Setup-9.EXE"));  // the extension must be exactly ".exe"
    EXPECT_TRUE(fs::exists(staging / "notes.exe"));
    EXPECT_TRUE(fs::is_directory(staging / "Calmlane-Setup-dir.exe"));
}

TEST_F(StagedUpdates, RemovesTheFolderOnceEmptyAndToleratesItsAbsence) {
    fs::create_directories(staging);
    touch(staging / "Calmlane-Setup-1.0.exe");
    cleanupStagedUpdates();
    EXPECT_FALSE(fs::exists(staging));
    cleanupStagedUpdates();  // nothing there: nothing happens
    EXPECT_FALSE(fs::exists(staging));
}

TEST_F(StagedUpdates, AnInstallerStillRunningIsLeftInPlaceAndTheOthersStillGo) {
    fs::create_directories(staging);
    const fs::path busy = staging / "Calmlane-Setup-3.0.exe";
    touch(busy);
    touch(staging / "Calmlane-Setup-2.0.exe");
    touch(staging / "Calmlane-Setup-4.0.exe");
    HANDLE open = CreateFileW(busy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    cleanupStagedUpdates();
    CloseHandle(open);
    EXPECT_TRUE(fs::exists(busy));
    EXPECT_FALSE(fs::exists(staging / "Calmlane-Setup-2.0.exe"));
    EXPECT_FALSE(fs::exists(staging / "Calmlane-Setup-4.0.exe"));
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
    for (const wchar_t* name : {L"Calmlane-Setup-.exe.part", L"calmlane-setup-1.exe", L"Calmlane-Setup-1.EXE", L"Setup.exe"}) {
        EXPECT_FALSE(isStagedInstaller(name, FILE_ATTRIBUTE_NORMAL));
    }
}

}  // namespace
}  // namespace calmlane
