#pragma once
// Per-user preferences and the small registry helpers every role uses.
#include <windows.h>

#include <string>

namespace calmlane {

struct Settings {
    unsigned long language = 0;
    long density = 260;
    long speed = 5;
    unsigned long displays = 0;
    unsigned long color = 0x00FFE4C8;
    bool firewall = true;  // the mode in force: the NetworkMode policy, else HKLM "Firewall"
    // The user chose `language` (it is stored under HKCU); otherwise it is the Language policy's, or 0, and
    // saving the other settings does not make it the user's choice.
    bool languageChosen = false;

    // Fills the record from HKCU (and the machine mode from HKLM); never fails.
    void load();
    // Writes the per-user values (Language only when chosen); throws the writeDword errors.
    void save() const;
};

// The REG_DWORD value, or fallback when it cannot be read as one.
unsigned long readDword(HKEY root, const wchar_t* subkey, const wchar_t* name, unsigned long fallback);
// A REG_SZ or REG_EXPAND_SZ value as stored (never expanded), read into a 65,536-byte buffer; false when
// it cannot be read (missing, other type, longer).
bool readString(HKEY root, const wchar_t* subkey, const wchar_t* name, std::wstring& value);
void writeDword(HKEY root, const wchar_t* subkey, const wchar_t* name, unsigned long value);
void writeString(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::wstring& value);

// Set only by the setup program to the folder it validated; empty otherwise.
extern std::wstring installDirectoryOverride;

std::wstring installDir();
std::wstring folder(int csidl);
std::wstring modulePath();
// The window's text, whole (empty when it has none or cannot be read).
std::wstring windowText(HWND window);

}  // namespace calmlane
