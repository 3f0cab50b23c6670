#include "app/settings.h"

#include <shlobj.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "app/constants.h"
#include "app/handles.h"
#include "app/policy.h"

namespace calmlane {

std::wstring installDirectoryOverride;

namespace {

unsigned long readUserDword(const wchar_t* name, unsigned long fallback) {
    return readDword(HKEY_CURRENT_USER, RegistryPath, name, fallback);
}

long clampSigned(unsigned long raw, long low, long high) {
    const long value = static_cast<long>(raw);
    return value < low ? low : (value > high ? high : value);
}

UniqueKey createKeyForWriting(HKEY root, const wchar_t* subkey) {
    UniqueKey key;
    const LSTATUS status = RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                           nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) throw std::runtime_error("Registry create failed");
    return key;
}

void setValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    UniqueKey key = createKeyForWriting(root, subkey);
    const LSTATUS status = RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
    key.reset();
    if (status != ERROR_SUCCESS) throw std::runtime_error("Registry write failed");
}

}  // namespace

void Settings::load() {
    const Policies policies = readPolicies();
    DWORD stored = 0;
    DWORD size = sizeof(stored);
    languageChosen = RegGetValueW(HKEY_CURRENT_USER, RegistryPath, L"Language", RRF_RT_REG_DWORD, nullptr, &stored,
                                  &size) == ERROR_SUCCESS;
    // The user's own choice wins over the organisation's Language policy.
    const unsigned long rawLanguage =
        languageChosen ? stored : static_cast<unsigned long>(policies.language >= 0 ? policies.language : 0);
    language = rawLanguage > 5 ? 5 : rawLanguage;
    density = clampSigned(readUserDword(L"Density", 260), 40, 600);
    speed = clampSigned(readUserDword(L"Speed", 5), 1, 12);
    const unsigned long rawDisplays = readUserDword(L"Displays", 0);
    displays = rawDisplays > 2 ? 2 : rawDisplays;
    color = readUserDword(L"Color", 0x00FFE4C8);
    // The mode in force: the organisation's NetworkMode policy wins over the installed choice.
    const unsigned long policyMode = policies.networkMode;
    firewall = policyMode != 0 ? policyMode == 1 : readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1) != 0;
}

void Settings::save() const {
    if (languageChosen) writeDword(HKEY_CURRENT_USER, RegistryPath, L"Language", language);
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"Density", static_cast<unsigned long>(density));
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"Speed", static_cast<unsigned long>(speed));
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"Color", color);
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"Displays", displays);
}

unsigned long readDword(HKEY root, const wchar_t* subkey, const wchar_t* name, unsigned long fallback) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(root, subkey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) return fallback;
    return value;
}

bool readString(HKEY root, const wchar_t* subkey, const wchar_t* name, std::wstring& value) {
    std::vector<wchar_t> buffer(65536 / sizeof(wchar_t));
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    // The text as stored: a REG_EXPAND_SZ is never expanded here, where it would take the environment of
    // whoever reads it (an administrator's, for a string that a user wrote).
    constexpr DWORD AsStored = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    if (RegGetValueW(root, subkey, name, AsStored, nullptr, buffer.data(), &bytes) != ERROR_SUCCESS) return false;
    // The byte count includes the terminator that RegGetValueW guarantees; stop at any earlier zero too.
    const std::size_t count = bytes >= sizeof(wchar_t) ? bytes / sizeof(wchar_t) - 1 : 0;
    value.assign(buffer.data(), count);
    value.resize(wcsnlen(value.c_str(), count));
    return true;
}

void writeDword(HKEY root, const wchar_t* subkey, const wchar_t* name, unsigned long value) {
    const DWORD data = value;
    setValue(root, subkey, name, REG_DWORD, &data, sizeof(data));
}

void writeString(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::wstring& value) {
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    setValue(root, subkey, name, REG_SZ, value.c_str(), bytes);
}

std::wstring installDir() {
    if (!installDirectoryOverride.empty()) return installDirectoryOverride;
    std::wstring path;
    if (readString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", path) && !path.empty()) return path;
    return folder(CSIDL_PROGRAM_FILES) + L"\\Calmlane";
}

std::wstring folder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) {
        throw std::runtime_error("Folder unavailable");
    }
    return path;
}

std::wstring modulePath() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), length);
}

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(std::max(0, GetWindowTextLengthW(window))) + 1, L'\0');
    const int length = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(0, length)));
    return text;
}

}  // namespace calmlane
