#pragma once
// Six-language texts: French, English, German, Chinese (Simplified), Spanish, Italian, in that index order.
#include <array>
#include <string>

namespace calmlane {

inline constexpr int LanguageCount = 6;

struct Translation {
    const char* key;
    std::array<const wchar_t*, LanguageCount> texts;
};

extern const std::array<const wchar_t*, LanguageCount> languageNames;
extern const Translation translations[];
extern const std::size_t translationCount;

// The argument in the current language's position.
std::wstring tr(const wchar_t* fr, const wchar_t* en, const wchar_t* de, const wchar_t* zh, const wchar_t* es,
                const wchar_t* it);
// The keyed text in the current language; empty for an unknown key.
std::wstring text(const char* key);
// `text` with its "%s" replaced by `value`.
std::wstring filled(std::wstring text, const std::wstring& value);
// A control's name inside running text, in the current language's quotation marks.
std::wstring quoted(const std::wstring& name);
// The main window's "Restore network…" button, which other texts name.
std::wstring restoreNetworkText();

}  // namespace calmlane
