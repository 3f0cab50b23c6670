// The install-folder check: every rule with real paths and drive types, the descriptor verdict over
// real Windows descriptors, and rules 8 and 9 through the folder-security double's tables.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "app/constants.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "install/folder_security.h"
#include "install/folder_validation.h"
#include "install/install_support.h"
#include "support/registry_scratch.h"

#include <sddl.h>

namespace calmlane {
namespace {

using namespace test;

const std::wstring Base = L"C:\\cv";
const std::wstring Parent = L"C:\\cv\\parent";

const char* const Form = "Choose an absolute local installation folder, not a drive root.";
const char* const Root = "A drive root cannot be an installation folder.";
const char* const Fixed = "Choose a local fixed disk.";
const char* const Move =
    "To change the folder of an existing installation, uninstall Calmlane first, then run Setup again.";
const char* const NoParent = "The parent folder must already exist.";
const char* const Unprotected =
    "Choose a protected folder (for example under Program Files). User-writable parent folders and links are not "
    "safe for a Windows service.";
const char* const Linked = "Linked folders are not supported.";
const char* const NotEmpty = "Choose an empty folder dedicated to Calmlane.";

std::string verdict(const std::wstring& requested) {
    try {
        validateInstallDirectory(requested);
        return "accepted";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

class FolderValidation : public ::testing::Test {
protected:
    void SetUp() override {
        cleanMachine();
        std::filesystem::remove_all(Base);
        std::filesystem::create_directories(Parent + L"\\full");
        std::filesystem::create_directories(Parent + L"\\empty");
        std::filesystem::create_directories(Parent + L"\\retry");
        writeFile(Parent + L"\\full\\notes.txt");
        writeFile(Parent + L"\\file.txt");
        // What a failed first install leaves: the product's own files only.
        writeFile(Parent + L"\\retry\\Calmlane.exe");
        writeFile(Parent + L"\\retry\\Uninstall.exe");
        protectFolders({Parent, Base, programFiles()});
        protectFolders({L"C:\\"}, RootSddl);
        protectFolders({Parent + L"\\full", Parent + L"\\empty", Parent + L"\\retry"}, InstalledSddl);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(Base, ignored);
        cleanMachine();
    }
};

TEST_F(FolderValidation, FormPathAndDriveRules) {
    const std::wstring missing = Base + L"\\missing\\";
    const std::wstring long239 = missing + std::wstring(239 - missing.size(), L'a');
    struct Case {
        std::wstring requested;
        const char* expected;
    } cases[] = {
        {L"C:\\", Form},
        {L"C:\\\\", Root},
        {L"C:\\..", Root},
        {L"C:\\cv\\..\\.\\", Root},
        {L"\\\\server\\share\\dir", Form},
        {L"\\\\?\\C:\\dir", Form},
        {L"C:dir", Form},
        {L"C:/dir", Form},
        {L"C:\\a:b", Form},
        {L"C:\\a?b", Form},
        {L"C:\\a*b", Form},
        {L"C:\\a\"b", Form},
        {L"C:\\a<b", Form},
        {L"C:\\a|b", Form},
        {long239, NoParent},  // 239 characters pass the form rule
        {long239 + L"b", Form},
        {L"Q:\\Apps\\Calmlane", Fixed},  // no such drive
        {L"C:\\cv\\missing\\app", NoParent},
        {L"C:\\cv\\parent\\file.txt\\app", NoParent},
        {L"C:\\cv\\parent\\new", "accepted"},
        {L"C:\\cv\\parent\\empty\\", "accepted"},
        {L"C:\\cv\\parent\\full", NotEmpty},
        {L"C:\\cv\\parent\\retry", "accepted"},
    };
    for (const Case& c : cases) EXPECT_EQ(verdict(c.requested), c.expected) << std::filesystem::path(c.requested);
    EXPECT_EQ(validateInstallDirectory(L"C:\\cv\\parent\\empty\\\\"), L"C:\\cv\\parent\\empty");
}

// The verdict over real Windows descriptors, as an ancestor below the root, as the root, and as the
// installation folder itself.
TEST(DescriptorVerdict, RealWindowsDescriptors) {
    const wchar_t* const UsersModify = L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";
    const wchar_t* const OtherOwner = L"O:" CALMLANE_SOME_USER L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    struct Case {
        const char* what;
        const wchar_t* sddl;
        bool ancestor, root, folder;
    } cases[] = {
        {"C:\\", RootSddl, true, true, false},  // users may create folders in it, which is no takeover
        {"C:\\Program Files", ProgramFilesSddl, true, true, true},
        {"made by a standard user", UserMadeSddl, false, false, false},
        {"Users hold Modify", UsersModify, false, true, false},  // DELETE, which a root cannot suffer
        {"owned by another user", OtherOwner, false, false, false},
        {"no DACL", L"O:BA", false, false, false},
        {"the installation folder", InstalledSddl, true, true, true},
        {"Users may write files", L"O:BAD:(A;;FA;;;SY)(A;;0x1201bf;;;BU)", true, true, false},
        {"generic all to Users", L"O:SYD:(A;;GA;;;BU)", false, false, false},
        {"generic write to Users", L"O:SYD:(A;;GW;;;BU)", true, true, false},
        {"inherit-only grant", L"O:SYD:(A;OICIIO;GA;;;BU)(A;;0x1200a9;;;BU)", true, true, true},
        {"a domain group deletes children", L"O:BAD:(A;;FA;;;BA)(A;;0x1200e9;;;" CALMLANE_SOME_USER L")", false, false,
         false},
        {"deny entries grant nothing", L"O:BAD:(D;;FA;;;WD)(A;;FA;;;SY)", true, true, true},
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &raw, nullptr))
            << c.what;
        const UniqueLocal descriptor(raw);
        EXPECT_EQ(descriptorTrusted(raw, AncestorRights | DELETE), c.ancestor) << c.what;
        EXPECT_EQ(descriptorTrusted(raw, AncestorRights), c.root) << c.what;
        EXPECT_EQ(descriptorTrusted(raw, FolderRights), c.folder) << c.what;
    }
    EXPECT_FALSE(descriptorTrusted(nullptr, AncestorRights));
}

// Rules 8 and 9 for C:\cv\parent\<folder>: each row changes what one folder is.
TEST_F(FolderValidation, SecurityVerdicts) {
    const std::wstring empty = Parent + L"\\empty";
    struct Case {
        const char* what;
        std::wstring folder;  // whose facts the row changes
        DWORD attributes;
        const wchar_t* sddl;
        const wchar_t* target;  // below Parent
        const char* expected;
    } cases[] = {
        {"protected ancestry", Parent, FILE_ATTRIBUTE_DIRECTORY, ProgramFilesSddl, L"new", "accepted"},
        {"parent made by a user", Parent, FILE_ATTRIBUTE_DIRECTORY, UserMadeSddl, L"new", Unprotected},
        {"ancestor without DACL", Base, FILE_ATTRIBUTE_DIRECTORY, L"O:BA", L"new", Unprotected},
        {"unreadable descriptor", Base, FILE_ATTRIBUTE_DIRECTORY, L"", L"new", Unprotected},
        {"linked parent", Base, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, ProgramFilesSddl, L"new",
         Unprotected},
        {"unreadable parent", Parent, INVALID_FILE_ATTRIBUTES, ProgramFilesSddl, L"new", Unprotected},
        {"linked folder", empty, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, InstalledSddl, L"empty",
         Linked},
        {"empty folder made by a user", empty, FILE_ATTRIBUTE_DIRECTORY, UserMadeSddl, L"empty", Unprotected},
        {"empty folder users may write", empty, FILE_ATTRIBUTE_DIRECTORY, L"O:BAD:(A;;FA;;;SY)(A;;0x1201bf;;;BU)",
         L"empty", Unprotected},
        {"empty folder, unreadable descriptor", empty, FILE_ATTRIBUTE_DIRECTORY, L"", L"empty",
         "Cannot verify installation folder permissions."},
    };
    for (const Case& c : cases) {
        SetUp();
        setFolderFacts(c.folder, c.attributes, c.sddl);
        EXPECT_EQ(verdict(Parent + L"\\" + c.target), c.expected) << c.what;
    }
}

TEST_F(FolderValidation, WalksFromTheParentUpToTheRoot) {
    doubles::storeSetString(L"Calls", L"");
    ASSERT_EQ(verdict(Parent + L"\\new"), "accepted");
    EXPECT_EQ(doubles::storeString(L"Calls"),
              L"folder.attributes C:\\cv\\parent\nfolder.descriptor C:\\cv\\parent\n"
              L"folder.attributes C:\\cv\nfolder.descriptor C:\\cv\n"
              L"folder.attributes C:\\\nfolder.descriptor C:\\\n");
}

TEST_F(FolderValidation, UnlistedFoldersGetTheWindowsAnswer) {
    // Wine makes the current user the owner of every file, and on Windows a folder made in the drive
    // root belongs to its user and inherits the modify rights of authenticated users: unprotected either way.
    deleteTree(HKEY_LOCAL_MACHINE, (std::wstring(doubles::StoreKey) + L"\\FolderSecurity").c_str());
    EXPECT_EQ(verdict(Parent + L"\\new"), Unprotected);
}

TEST_F(FolderValidation, AnExistingInstallationStaysInItsFolder) {
    const std::wstring pf = programFiles();
    struct Case {
        std::wstring installed;  // InstallPath with the service present
        std::wstring requested;
        const char* expected;
    } cases[] = {
        {Parent + L"\\full", L"c:\\CV\\parent\\FULL\\", "accepted"},  // reinstall: case, trailing backslash
        {Parent + L"\\full", Parent + L"\\new", Move},
        {pf + L"\\CalmlaneNative", pf + L"\\Calmlane", "accepted"},  // the one move out of the old folder
        {pf + L"\\CalmlaneNative", Parent + L"\\new", Move},
        {pf + L"\\Calmlane", pf + L"\\CalmlaneNative", Move},
    };
    createDormantService(ServiceName);
    for (const Case& c : cases) {
        writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", c.installed);
        EXPECT_EQ(verdict(c.requested), c.expected) << std::filesystem::path(c.requested);
    }
}

TEST_F(FolderValidation, TheRealFolderSecurityQueries) {
    EXPECT_TRUE(folder_security::windowsDescriptor(Parent, nullptr));
    UniqueHandle opened(CreateFileW(Parent.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(opened);
    EXPECT_TRUE(folder_security::windowsDescriptor(Parent, opened.get()));
    EXPECT_FALSE(folder_security::windowsDescriptor(Base + L"\\missing", nullptr));
    EXPECT_EQ(folder_security::windowsAttributes(Base + L"\\missing"), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace calmlane
