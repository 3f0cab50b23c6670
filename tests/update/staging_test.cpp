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
    EXPECT_NO_THROW(cleanupStagedUpdates());
}

TEST_F(StagedUpdates, AnInstallerStillRunningIsLeftInPlace) {
    fs::create_directories(staging);
    const fs::path busy = staging / "Calmlane-Setup-3.0.exe";
    touch(busy);
    HANDLE open = CreateFileW(busy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    EXPECT_NO_THROW(cleanupStagedUpdates());
    CloseHandle(open);
    EXPECT_TRUE(fs::exists(busy));
}

}  // namespace
}  // namespace calmlane
