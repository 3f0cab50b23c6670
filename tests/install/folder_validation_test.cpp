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

const char* const Move =
    "To change the folder of an existing installation, uninstall Calmlane first, then run Setup again.";
const char* const Unprotected = UnprotectedFolder;

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
        for (const wchar_t* folder : {L"\\full", L"\\empty", L"\\retry"}) {
            std::filesystem::create_directories(Parent + folder);
        }
        // retry: what a failed first install leaves, the product's own files only.
        for (const wchar_t* file : {L"full\\notes.txt", L"file.txt", L"retry\\Calmlane.exe", L"retry\\Uninstall.exe"}) {
            writeFile(Parent + L"\\" + file);
        }
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
    const std::wstring long239 = missing + std::wstring(239 - missing.size(), L'a');  // passes the form rule
    const struct { std::vector<std::wstring> requested; const char* expected; } cases[] = {
        {{L"C:\\", L"\\\\server\\share\\dir", L"\\\\?\\C:\\dir", L"C:dir", L"C:/dir", L"C:\\a:b", L"C:\\a?b",
          L"C:\\a*b", L"C:\\a\"b", L"C:\\a<b", L"C:\\a|b", long239 + L"b"},
         "Choose an absolute local installation folder, not a drive root."},
        {{L"C:\\\\", L"C:\\..", L"C:\\cv\\..\\.\\"}, "A drive root cannot be an installation folder."},
        {{long239, L"C:\\cv\\missing\\app", L"C:\\cv\\parent\\file.txt\\app"},
         "The parent folder must already exist."},
        {{L"Q:\\Apps\\Calmlane"}, "Choose a local fixed disk."},  // no such drive
        {{L"C:\\cv\\parent\\new", L"C:\\cv\\parent\\empty\\", L"C:\\cv\\parent\\retry"}, "accepted"},
        {{L"C:\\cv\\parent\\full"}, "Choose an empty folder dedicated to Calmlane."},
    };
    for (const auto& c : cases) {
        for (const std::wstring& requested : c.requested) {
            EXPECT_EQ(verdict(requested), c.expected) << std::filesystem::path(requested);
        }
    }
    EXPECT_EQ(validateInstallDirectory(L"C:\\cv\\parent\\empty\\\\"), L"C:\\cv\\parent\\empty");
}

// Real Windows descriptors read into the verdict (folder_verdict_test.cpp has its rules), as an ancestor
// below the root, as the root, and as the installation folder itself.
TEST(DescriptorVerdict, RealWindowsDescriptors) {
    const struct { const char* what; const wchar_t* sddl; bool ancestor, root, folder; } cases[] = {
        {"C:\\", RootSddl, true, true, false},  // users may create folders in it, which is no takeover
        {"C:\\Program Files", ProgramFilesSddl, true, true, true},
        {"made by a standard user", UserMadeSddl, false, false, false},
        {"owned by another user", L"O:" CALMLANE_SOME_USER L"D:PAI(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", false, false,
         false},
        {"no DACL", L"O:BA", false, false, false},
        {"the installation folder", InstalledSddl, true, true, true},
        {"generic all to Users", L"O:SYD:(A;;GA;;;BU)", false, false, false},
        {"inherit-only grant", L"O:SYD:(A;OICIIO;GA;;;BU)(A;;0x1200a9;;;BU)", true, true, true},
        {"deny entries grant nothing", L"O:BAD:(D;;FA;;;WD)(A;;FA;;;SY)", true, true, true},
    };
    for (const auto& c : cases) {
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
    // folder: whose facts the row changes; target: below Parent.
    const struct {
        const char* what;
        std::wstring folder;
        DWORD attributes;
        const wchar_t *sddl, *target;
        const char* expected;
    } cases[] = {
        {"protected ancestry", Parent, FILE_ATTRIBUTE_DIRECTORY, ProgramFilesSddl, L"new", "accepted"},
        {"parent made by a user", Parent, FILE_ATTRIBUTE_DIRECTORY, UserMadeSddl, L"new", Unprotected},
        {"ancestor without DACL", Base, FILE_ATTRIBUTE_DIRECTORY, L"O:BA", L"new", Unprotected},
        {"unreadable descriptor", Base, FILE_ATTRIBUTE_DIRECTORY, L"", L"new", Unprotected},
        {"linked parent", Base, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, ProgramFilesSddl, L"new",
         Unprotected},
        {"unreadable parent", Parent, INVALID_FILE_ATTRIBUTES, ProgramFilesSddl, L"new", Unprotected},
        {"empty folder made by a user", empty, FILE_ATTRIBUTE_DIRECTORY, UserMadeSddl, L"empty", Unprotected},
        {"empty folder users may write", empty, FILE_ATTRIBUTE_DIRECTORY, L"O:BAD:(A;;FA;;;SY)(A;;0x1201bf;;;BU)",
         L"empty", Unprotected},
        {"empty folder, unreadable descriptor", empty, FILE_ATTRIBUTE_DIRECTORY, L"", L"empty",
         "Cannot verify installation folder permissions."},
        {"linked folder", empty, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, InstalledSddl, L"empty",
         "Linked folders are not supported."},
    };
    for (const auto& c : cases) {
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
    // InstallPath, with the service present.
    const struct { std::wstring installed, requested; const char* expected; } cases[] = {
        {Parent + L"\\full", L"c:\\CV\\parent\\FULL\\", "accepted"},  // reinstall: case, trailing backslash
        {Parent + L"\\full", Parent + L"\\new", Move},
        {pf + L"\\CalmlaneNative", pf + L"\\Calmlane", "accepted"},  // the one move out of the old folder
        {pf + L"\\CalmlaneNative", Parent + L"\\new", Move},
        {pf + L"\\Calmlane", pf + L"\\CalmlaneNative", Move},
    };
    createDormantService(ServiceName);
    for (const auto& c : cases) {
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
