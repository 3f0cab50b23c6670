// Which entries of the staging folder are staged installers, on the attributes Windows would report, and
// the name a download stages under.
#include "update/staging_rules.h"

#include <gtest/gtest.h>

namespace calmlane {
namespace {

constexpr unsigned long Normal = 0x80, Archive = 0x20, ReadOnly = 0x01;  // FILE_ATTRIBUTE_*

TEST(StagingRules, NeverDeleteALinkOrAFolder) {
    const struct {
        unsigned long attributes;
        bool installer;  // for the name Calmlane-Setup-1.2.exe
    } cases[] = {
        {attribute::Directory, false},
        {Normal, true},
        {Archive | ReadOnly, true},
        {Archive | attribute::ReparsePoint, false},  // a file symbolic link
        {attribute::Device, false},
        {attribute::Invalid, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isStagedInstaller(L"Calmlane-Setup-1.2.exe", c.attributes), c.installer) << std::hex << c.attributes;
    }
}

// What a download stages, the clean-up finds again; nothing else of that shape is ours.
TEST(StagingRules, OnlyNamesShapedAsStagedInstallersAreOurs) {
    EXPECT_EQ(stagedInstallerName(L"1.2.0"), L"Calmlane-Setup-1.2.0.exe");
    const struct {
        const wchar_t* name;
        bool installer;
    } cases[] = {
        {L"Calmlane-Setup-1.2.0.exe", true}, {L"Calmlane-Setup-.exe", true},
        {L"Calmlane-Setup-1.2.0.exe.part", false}, {L"Calmlane-Setup-9.EXE", false},
        {L"calmlane-setup-1.exe", false}, {L"notes.exe", false}, {L"Calmlane-Setup-1.2.0", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isStagedInstaller(c.name, Normal), c.installer) << testing::PrintToString(std::wstring(c.name));
    }
}

}  // namespace
}  // namespace calmlane
