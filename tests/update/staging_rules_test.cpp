// Which entries of the staging folder are staged installers, on the names and attributes Windows would
// report, and the name a download stages under.
#include "update/staging_rules.h"

#include <gtest/gtest.h>

namespace calmlane {
namespace {

constexpr unsigned long Normal = 0x80, Archive = 0x20, ReadOnly = 0x01;  // FILE_ATTRIBUTE_*

// What a download stages, the clean-up finds again; it never deletes a link or a folder, nor anything
// else of another shape.
TEST(StagingRules, OnlyRegularFilesNamedAsStagedInstallersAreOurs) {
    EXPECT_EQ(stagedInstallerName(L"1.2.0"), L"Calmlane-Setup-1.2.0.exe");
    const struct {
        const wchar_t* name;
        unsigned long attributes;
        bool installer;
    } cases[] = {
        {L"Calmlane-Setup-1.2.0.exe", Normal, true}, {L"Calmlane-Setup-1.2.0.exe", Archive | ReadOnly, true},
        {L"Calmlane-Setup-1.2.0.exe", attribute::Directory, false},
        {L"Calmlane-Setup-1.2.0.exe", Archive | attribute::ReparsePoint, false},  // a file symbolic link
        {L"Calmlane-Setup-1.2.0.exe", attribute::Device, false},
        {L"Calmlane-Setup-1.2.0.exe", attribute::Invalid, false},
        {L"Calmlane-Setup-.exe", Normal, true}, {L"Calmlane-Setup-1.2.0.exe.part", Normal, false},
        {L"Calmlane-Setup-9.EXE", Normal, false}, {L"calmlane-setup-1.exe", Normal, false},
        {L"notes.exe", Normal, false}, {L"Calmlane-Setup-1.2.0", Normal, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isStagedInstaller(c.name, c.attributes), c.installer)
            << testing::PrintToString(std::wstring(c.name)) << " " << std::hex << c.attributes;
    }
}

}  // namespace
}  // namespace calmlane
