// The folder-security verdict over owners and DACLs in plain form, as the three checks ask it: an ancestor
// below the root, the root, and the installation folder itself.
#include "install/folder_verdict.h"

#include <gtest/gtest.h>

namespace calmlane {
namespace {

const std::wstring System = L"S-1-5-18";
const std::wstring Admins = L"S-1-5-32-544";
const std::wstring Installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const std::wstring Users = L"S-1-5-32-545";
const std::wstring SomeUser = L"S-1-5-21-3623811015-3361044348-30300820-1013";

constexpr std::uint32_t ReadExecute = 0x001200A9;  // SDDL 0x1200a9: list, read, traverse
constexpr std::uint32_t Modify = 0x001301BF;       // SDDL 0x1301bf: read, write and DELETE

AccessEntry allow(std::uint32_t mask, const std::wstring& principal) { return {true, false, mask, principal}; }

TEST(FolderVerdict, OnlyTrustedPrincipalsHoldTheRightsThatMatter) {
    using Dacl = std::optional<std::vector<AccessEntry>>;
    const struct { const char* what; std::wstring owner; Dacl dacl; bool ancestor, root, folder; } cases[] = {
        {"protected, users read", Installer,
         std::vector{allow(access::FileAllAccess, System), allow(access::FileAllAccess, Admins),
                     allow(access::FileAllAccess, Installer), allow(ReadExecute, Users)},
         true, true, true},
        {"an empty DACL grants nothing", Admins, std::vector<AccessEntry>{}, true, true, true},
        {"no DACL grants everything", Admins, std::nullopt, false, false, false},
        {"owned by another user", SomeUser, std::vector{allow(access::FileAllAccess, System)}, false, false, false},
        {"users hold Modify", Admins, std::vector{allow(Modify, Users)}, false, true, false},  // DELETE: not at a root
        {"users may write files", Admins, std::vector{allow(Modify & ~access::Delete, Users)}, true, true, false},
        {"a user deletes children", Admins, std::vector{allow(ReadExecute | access::DeleteChild, SomeUser)}, false,
         false, false},
        {"generic all", System, std::vector{allow(access::GenericAll, Users)}, false, false, false},
        {"generic write", System, std::vector{allow(access::GenericWrite, Users)}, true, true, false},
        {"generic read and execute", System, std::vector{allow(access::GenericRead | access::GenericExecute, Users)},
         true, true, true},
        {"inherit-only grant", System, std::vector{AccessEntry{true, true, access::GenericAll, Users}}, true, true,
         true},
        {"deny entries grant nothing", Admins, std::vector{AccessEntry{false, false, access::FileAllAccess, Users}},
         true, true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(onlyTrustedHold(c.owner, c.dacl, AncestorRights | access::Delete), c.ancestor) << c.what;
        EXPECT_EQ(onlyTrustedHold(c.owner, c.dacl, AncestorRights), c.root) << c.what;
        EXPECT_EQ(onlyTrustedHold(c.owner, c.dacl, FolderRights), c.folder) << c.what;
    }
}

}  // namespace
}  // namespace calmlane
