#include "support/registry_scratch.h"

#include <gtest/gtest.h>

#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/policy.h"
#include "app/settings.h"
#include "configuration/saver_selection.h"

namespace calmlane::test {

RegistryScratch::RegistryScratch() { wipe(); }
RegistryScratch::~RegistryScratch() { wipe(); }

EnglishUser::EnglishUser() {
    settings.language = 1;
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"Language", 1);
}

void RegistryScratch::wipe() {
    deleteTree(HKEY_CURRENT_USER, RegistryPath);
    deleteTree(HKEY_LOCAL_MACHINE, RegistryPath);
    deleteTree(HKEY_LOCAL_MACHINE, PolicyKey);
    deleteTree(HKEY_CURRENT_USER, SaverPolicyKey);
}

void deleteTree(HKEY root, const wchar_t* subkey) {
    const LSTATUS status = RegDeleteTreeW(root, subkey);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        RegDeleteKeyW(root, subkey);
        return;
    }
    ADD_FAILURE() << "RegDeleteTreeW failed: " << status;
}

void setRawValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
}

bool readRawValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
    UniqueKey key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    DWORD bytes = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
    data.assign(bytes, 0);
    return RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &bytes) == ERROR_SUCCESS;
}

bool valueExists(HKEY root, const wchar_t* subkey, const wchar_t* name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    return readRawValue(root, subkey, name, type, data);
}

}  // namespace calmlane::test
