#pragma once
// Tests run in their own Wine prefix: the product's registry keys, and the policies of the organisation
// for it and for the user's screen saver, are wiped before and after each test.
#include <windows.h>

#include <string>
#include <vector>

namespace calmlane::test {

class RegistryScratch {
public:
    RegistryScratch();
    ~RegistryScratch();
    RegistryScratch(const RegistryScratch&) = delete;
    RegistryScratch& operator=(const RegistryScratch&) = delete;

    static void wipe();
};

// A scratch whose user reads English: the language value that programs read at start, and the one this
// process holds.
class EnglishUser : public RegistryScratch {
public:
    EnglishUser();
};

// Raw value access, so tests can store what the product never would (other types, odd sizes).
void setRawValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data, DWORD bytes);
bool readRawValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD& type, std::vector<BYTE>& data);
bool valueExists(HKEY root, const wchar_t* subkey, const wchar_t* name);
void deleteTree(HKEY root, const wchar_t* subkey);

}  // namespace calmlane::test
