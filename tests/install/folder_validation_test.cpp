// The install-folder check: every rule with real paths and drive types, and the security verdicts of
// rules 8 and 9 through the folder-security double's table.
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
        writeFile(Parent + L"\\full\\notes.txt");
        writeFile(Parent + L"\\file.txt");
        protectFolders({Parent, Base, programFiles()});
        protectFolders({L"C:\\"}, ReadExecute | FILE_ADD_SUBDIRECTORY);
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
    };
    for (const Case& c : cases) EXPECT_EQ(verdict(c.requested), c.expected) << std::filesystem::path(c.requested);
    EXPECT_EQ(validateInstallDirectory(L"C:\\cv\\parent\\empty\\\\"), L"C:\\cv\\parent\\empty");
}

// Rules 8 and 9 for C:\cv\parent\<folder>: each row changes what a standard user holds on one folder.
TEST_F(FolderValidation, SecurityVerdicts) {
    struct Case {
        const char* what;
        std::wstring folder;     // whose facts the row changes
        DWORD attributes;
        DWORD rights;
        const wchar_t* target;  // below Parent
        const char* expected;
    } cases[] = {
        {"protected ancestry", Parent, FILE_ATTRIBUTE_DIRECTORY, ReadExecute, L"new", "accepted"},
        {"create files and folders", Parent, FILE_ATTRIBUTE_DIRECTORY, ReadExecute | FILE_GENERIC_WRITE, L"new",
         "accepted"},
        {"delete children", Parent, FILE_ATTRIBUTE_DIRECTORY, ReadExecute | FILE_DELETE_CHILD, L"new", Unprotected},
        {"change permissions", Base, FILE_ATTRIBUTE_DIRECTORY, ReadExecute | WRITE_DAC, L"new", Unprotected},
        {"take ownership", Base, FILE_ATTRIBUTE_DIRECTORY, ReadExecute | WRITE_OWNER, L"new", Unprotected},
        {"delete the parent", Parent, FILE_ATTRIBUTE_DIRECTORY, ReadExecute | DELETE, L"new", Unprotected},
        {"delete on the root", L"C:\\", FILE_ATTRIBUTE_DIRECTORY, ReadExecute | DELETE, L"new", "accepted"},
        {"full control (own profile)", Parent, FILE_ATTRIBUTE_DIRECTORY, FullControl, L"new", Unprotected},
        {"access check fails", Base, FILE_ATTRIBUTE_DIRECTORY, 0, L"new", Unprotected},
        {"linked parent", Base, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, ReadExecute, L"new",
         Unprotected},
        {"unreadable parent", Parent, INVALID_FILE_ATTRIBUTES, ReadExecute, L"new", Unprotected},
        {"linked folder", Parent + L"\\empty", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, ReadExecute,
         L"empty", Linked},
    };
    for (const Case& c : cases) {
        SetUp();
        setFolderFacts(c.folder, c.attributes, c.rights);
        EXPECT_EQ(verdict(Parent + L"\\" + c.target), c.expected) << c.what;
    }
}

TEST_F(FolderValidation, WalksFromTheParentUpToTheRoot) {
    doubles::storeSetString(L"Calls", L"");
    ASSERT_EQ(verdict(Parent + L"\\new"), "accepted");
    EXPECT_EQ(doubles::storeString(L"Calls"),
              L"folder.attributes C:\\cv\\parent\nfolder.access C:\\cv\\parent\n"
              L"folder.attributes C:\\cv\nfolder.access C:\\cv\n"
              L"folder.attributes C:\\\nfolder.access C:\\\n");
}

TEST_F(FolderValidation, UnlistedFoldersGetTheWindowsAnswer) {
    // Wine grants everything everywhere, and on Windows a folder made under C:\ inherits the
    // modify rights of authenticated users: unprotected either way.
    deleteTree(HKEY_LOCAL_MACHINE, (std::wstring(doubles::StoreKey) + L"\\FolderAccess").c_str());
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
    UniqueHandle token = standardUserToken();
    ASSERT_TRUE(token);
    TOKEN_TYPE type = TokenPrimary;
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenType, &type, sizeof(type), &size));
    EXPECT_EQ(type, TokenImpersonation);
    DWORD granted = 0;
    EXPECT_TRUE(folder_security::windowsGrantedAccess(token.get(), Parent, granted));
    EXPECT_NE(granted, 0u);
    EXPECT_FALSE(folder_security::windowsGrantedAccess(token.get(), Base + L"\\missing", granted));
    EXPECT_EQ(folder_security::windowsAttributes(Base + L"\\missing"), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace calmlane
