#include "update/staging.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "app/handles.h"
#include "support/process.h"

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

// Installers of earlier downloads go, except one still running (open); the entries after it still go
// (which names are installers: StagingRules).
// The folder goes once empty, and its absence is no error.
TEST_F(StagedUpdates, RemovesOnlyStagedInstallersAndThenTheEmptyFolder) {
    fs::create_directories(staging / "Calmlane-Setup-dir.exe");
    const struct {
        const char* name;
        bool kept;
    } entries[] = {
        {"Calmlane-Setup-1.2.0.exe", false}, {"Calmlane-Setup-1.5.exe", true}, {"Calmlane-Setup-2.exe", false},
        {"Calmlane-Setup-1.2.0.exe.part", true},
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

// A staging folder that is a link (here Wine's, followed but shown in the final path; a junction on
// Windows) keeps what it leads to, at either level.
TEST_F(StagedUpdates, AStagingFolderThatIsALinkKeepsWhatItLeadsTo) {
    const fs::path product = staging.parent_path(), elsewhere = product.parent_path() / "Calmlane-elsewhere";
    for (const fs::path& link : {product, staging}) {
        SCOPED_TRACE(link.string());
        fs::remove_all(product);
        fs::create_directories(elsewhere / "Updates");
        touch(elsewhere / "Calmlane-Setup-1.0.exe");
        touch(elsewhere / "Updates" / "Calmlane-Setup-1.0.exe");
        fs::create_directories(link.parent_path());
        ASSERT_TRUE(test::makeUnixLink(elsewhere.wstring(), link.wstring()));
        cleanupStagedUpdates();
        EXPECT_TRUE(fs::exists(elsewhere / "Calmlane-Setup-1.0.exe") && fs::exists(elsewhere / "Updates"));
        EXPECT_TRUE(fs::exists(elsewhere / "Updates" / "Calmlane-Setup-1.0.exe"));
        EXPECT_TRUE(test::removeUnixLink(link.wstring()));
        fs::remove_all(elsewhere);
    }
}

}  // namespace
}  // namespace calmlane
