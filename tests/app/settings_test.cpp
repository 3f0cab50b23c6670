#include "app/settings.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <stdexcept>

#include "app/constants.h"
#include "app/handles.h"
#include "app/policy.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

using test::readRawValue;
using test::RegistryScratch;
using test::setRawValue;

void setUserDword(const wchar_t* name, DWORD value) {
    setRawValue(HKEY_CURRENT_USER, RegistryPath, name, REG_DWORD, &value, sizeof(value));
}

Settings loaded() {
    Settings s;
    s.language = 99;  // load must overwrite every field
    s.density = -1;
    s.load();
    return s;
}

class SettingsStore : public ::testing::Test {
protected:
    RegistryScratch scratch;
};

TEST_F(SettingsStore, LoadClampsEveryField) {
    const struct {
        DWORD density, speed, language, displays;
        long wantDensity, wantSpeed;
        unsigned long wantLanguage, wantDisplays;
    } cases[] = {
        {10, 0, 0xFFFFFFFF, 7, 40, 1, 5, 2},
        {5000, 99, 6, 3, 600, 12, 5, 2},
        {static_cast<DWORD>(-20), static_cast<DWORD>(-3), 5, 2, 40, 1, 5, 2},
        {40, 1, 0, 0, 40, 1, 0, 0},
        {600, 12, 3, 1, 600, 12, 3, 1},
    };
    for (const auto& c : cases) {
        setUserDword(L"Density", c.density);
        setUserDword(L"Speed", c.speed);
        setUserDword(L"Language", c.language);
        setUserDword(L"Displays", c.displays);
        const Settings s = loaded();
        EXPECT_EQ(s.density, c.wantDensity) << c.density;
        EXPECT_EQ(s.speed, c.wantSpeed) << c.speed;
        EXPECT_EQ(s.language, c.wantLanguage) << c.language;
        EXPECT_EQ(s.displays, c.wantDisplays) << c.displays;
    }
}

// Values of another type read as missing: the defaults.
TEST_F(SettingsStore, ValuesOfAnotherTypeAreIgnored) {
    const wchar_t text[] = L"100";
    setRawValue(HKEY_CURRENT_USER, RegistryPath, L"Density", REG_SZ, text, sizeof(text));
    const unsigned long long wide = 9;
    setRawValue(HKEY_CURRENT_USER, RegistryPath, L"Speed", REG_QWORD, &wide, sizeof(wide));
    const Settings s = loaded();
    EXPECT_EQ(s.density, 260);
    EXPECT_EQ(s.speed, 5);
    EXPECT_EQ(s.language, 0u);
    EXPECT_EQ(s.displays, 0u);
    EXPECT_EQ(s.color, 0x00FFE4C8u);
    EXPECT_EQ(readDword(HKEY_CURRENT_USER, RegistryPath, L"Density", 1234), 1234u);
    EXPECT_EQ(readDword(HKEY_CURRENT_USER, L"SOFTWARE\\NoSuchKeyForCalmlane", L"X", 77), 77u);
}

// "mode=1 updates=off support=on +NetworkMode = 1 -DisableSupportCounter = 7": + in force, - ignored.
std::string described(const Policies& p) {
    std::string text = "mode=" + std::to_string(p.networkMode) + " updates=" + (p.updateCheckDisabled ? "off" : "on") +
                       " support=" + (p.supportCounterDisabled ? "off" : "on");
    for (const std::wstring& line : p.inForce) text += " +" + test::narrow(line);
    for (const std::wstring& line : p.ignored) text += " -" + test::narrow(line);
    return text;
}

TEST_F(SettingsStore, PoliciesCountOnlyWithinTheirRanges) {
    using V = PolicyValue;
    const struct {
        V mode, updates, support;
        const char* expected;
        V language = {};
    } rows[] = {
        {{V::Dword, 1}, {V::Dword, 1}, {V::Dword, 0},
         "mode=1 updates=off support=on +NetworkMode = 1 +DisableUpdateCheck = 1 +DisableSupportCounter = 0"},
        {{V::Dword, 2}, {V::Dword, 0}, {V::Dword, 1},
         "mode=2 updates=on support=off +NetworkMode = 2 +DisableUpdateCheck = 0 +DisableSupportCounter = 1"},
        {{V::Dword, 0}, {V::Dword, 2}, {V::Other, 0},
         "mode=0 updates=on support=on -NetworkMode = 0 -DisableUpdateCheck = 2 "
         "-DisableSupportCounter = (not a DWORD)"},
        {{V::Dword, 3}, {}, {V::Dword, 0xFFFFFFFF},
         "mode=0 updates=on support=on -NetworkMode = 3 -DisableSupportCounter = 4294967295"},
        {{}, {}, {}, "mode=0 updates=on support=on +Language = 5", {V::Dword, 5}},
        {{}, {}, {}, "mode=0 updates=on support=on -Language = 6", {V::Dword, 6}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(described(decidePolicies({row.mode, row.updates, row.support, row.language})), row.expected);
    }

    writeString(HKEY_LOCAL_MACHINE, PolicyKey, L"DisableUpdateCheck", L"1");  // as stored: a text is no DWORD
    EXPECT_EQ(described(readPolicies()), "mode=0 updates=on support=on -DisableUpdateCheck = (not a DWORD)");
}

// The organisation's Language is the language of every user until the user chooses one; saving the other
// settings is no choice.
TEST_F(SettingsStore, TheLanguagePolicyServesOnlyUsersWhoHaveNotChosen) {
    writeDword(HKEY_LOCAL_MACHINE, PolicyKey, L"Language", 2);
    Settings s = loaded();
    EXPECT_EQ(s.language, 2u);
    s.save();
    EXPECT_FALSE(test::valueExists(HKEY_CURRENT_USER, RegistryPath, L"Language"));
    setUserDword(L"Language", 0);
    EXPECT_EQ(loaded().language, 0u);
}

TEST_F(SettingsStore, SaveWritesTheFivePerUserValuesAndNeverTheMode) {
    Settings s;
    s.language = 2;
    s.density = 400;
    s.speed = 9;
    s.displays = 1;
    s.color = 0x00123456;
    s.firewall = false;
    s.languageChosen = true;
    s.save();
    const Settings back = loaded();
    EXPECT_EQ(back.language, 2u);
    EXPECT_EQ(back.density, 400);
    EXPECT_EQ(back.speed, 9);
    EXPECT_EQ(back.displays, 1u);
    EXPECT_EQ(back.color, 0x00123456u);
    EXPECT_FALSE(test::valueExists(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall"));
    EXPECT_FALSE(test::valueExists(HKEY_CURRENT_USER, RegistryPath, L"Firewall"));
    EXPECT_TRUE(back.firewall);  // the machine's value, absent here
}

TEST_F(SettingsStore, WriteStringStoresTheTerminator) {
    writeString(HKEY_CURRENT_USER, RegistryPath, L"Empty", L"");
    writeString(HKEY_CURRENT_USER, RegistryPath, L"Word", L"abc");
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(readRawValue(HKEY_CURRENT_USER, RegistryPath, L"Empty", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, std::vector<BYTE>(2, 0));
    ASSERT_TRUE(readRawValue(HKEY_CURRENT_USER, RegistryPath, L"Word", type, data));
    EXPECT_EQ(data, (std::vector<BYTE>{'a', 0, 'b', 0, 'c', 0, 0, 0}));

    writeDword(HKEY_CURRENT_USER, RegistryPath, L"Number", 0xDEADBEEF);
    ASSERT_TRUE(readRawValue(HKEY_CURRENT_USER, RegistryPath, L"Number", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data.size(), 4u);
}

using test::thrownBy;

TEST_F(SettingsStore, WriteFailuresThrowTheirMessages) {
    // A non-volatile key cannot be created under a volatile one.
    UniqueKey scratchVolatile;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\CalmlaneNative\\Volatile", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, scratchVolatile.put(), nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(thrownBy([] { writeDword(HKEY_CURRENT_USER, L"SOFTWARE\\CalmlaneNative\\Volatile\\Child", L"X", 1); }),
              "Registry create failed");
    EXPECT_EQ(thrownBy([] { writeString(HKEY_CURRENT_USER, L"SOFTWARE\\CalmlaneNative\\Volatile\\Child", L"X", L"y"); }),
              "Registry create failed");
    // Value names are limited to 16,383 characters.
    static const std::wstring tooLong(20000, L'n');
    EXPECT_EQ(thrownBy([] { writeDword(HKEY_CURRENT_USER, RegistryPath, tooLong.c_str(), 1); }), "Registry write failed");
    EXPECT_EQ(thrownBy([] { writeString(HKEY_CURRENT_USER, RegistryPath, tooLong.c_str(), L"y"); }),
              "Registry write failed");
}

TEST_F(SettingsStore, InstallDirPrefersOverrideThenRegistryThenProgramFiles) {
    const std::wstring programFiles = folder(CSIDL_PROGRAM_FILES) + L"\\Calmlane";
    EXPECT_EQ(installDir(), programFiles);
    writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", L"");
    EXPECT_EQ(installDir(), programFiles);
    writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", L"D:\\Tools\\Calmlane");
    EXPECT_EQ(installDir(), L"D:\\Tools\\Calmlane");
    installDirectoryOverride = L"E:\\Chosen";
    EXPECT_EQ(installDir(), L"E:\\Chosen");
    installDirectoryOverride.clear();
    const DWORD number = 1;
    setRawValue(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(installDir(), programFiles);
    EXPECT_THROW(folder(0x7F), std::runtime_error);  // no such shell folder
}


}  // namespace
}  // namespace calmlane
