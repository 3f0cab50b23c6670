#include "app/localization.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/globals.h"

namespace calmlane {
namespace {

class Localization : public ::testing::Test {
protected:
    void TearDown() override { settings.language = 0; }
};

// A row copied from English into another column would show up as too few distinct texts.
TEST_F(Localization, EveryRowHasTextInAllSixLanguages) {
    for (std::size_t i = 0; i < translationCount; ++i) {
        std::set<std::wstring> distinct;
        for (unsigned long language = 0; language < LanguageCount; ++language) {
            settings.language = language;
            const std::wstring value = text(translations[i].key);
            EXPECT_FALSE(value.empty()) << translations[i].key << " in language " << language;
            distinct.insert(value);
        }
        EXPECT_GE(distinct.size(), 4u) << translations[i].key;
    }
}

TEST_F(Localization, KeysAreUniqueAndLineBreaksAndHyphensFollowTheEnglish) {
    std::set<std::string> keys;
    for (std::size_t i = 0; i < translationCount; ++i) {
        const Translation& row = translations[i];
        EXPECT_TRUE(keys.insert(row.key).second) << "duplicate key " << row.key;
        const std::wstring english = row.texts[1];
        const bool englishBreak = english.find(L"\r\n") != std::wstring::npos;
        const bool englishWiFi = english.find(L"Wi\u2011Fi") != std::wstring::npos;
        for (std::size_t language = 0; language < LanguageCount; ++language) {
            const std::wstring t = row.texts[language];
            EXPECT_EQ(t.find(L"\r\n") != std::wstring::npos, englishBreak) << row.key;
            // German Windows says WLAN; every other language keeps the English term.
            const bool wiFi = t.find(language == 2 ? L"WLAN" : L"Wi\u2011Fi") != std::wstring::npos;
            EXPECT_EQ(wiFi, englishWiFi) << row.key << " in language " << language;
            EXPECT_EQ(t.find(L"Wi-Fi"), std::wstring::npos) << row.key << ": plain hyphen in Wi-Fi";
            // French typography: a no-break space before the two-part punctuation marks.
            for (std::size_t p = 1; language == 0 && p < t.size(); ++p) {
                if (std::wstring(L":;!?").find(t[p]) != std::wstring::npos) {
                    EXPECT_EQ(t[p - 1], L'\u00A0') << row.key;
                }
            }
            // No lone line feed or carriage return.
            for (std::size_t p = 0; p < t.size(); ++p) {
                if (t[p] == L'\n') {
                    EXPECT_TRUE(p > 0 && t[p - 1] == L'\r') << row.key;
                }
                if (t[p] == L'\r') {
                    EXPECT_TRUE(p + 1 < t.size() && t[p + 1] == L'\n') << row.key;
                }
            }
        }
    }
}

// One term per idea in each language: words that a translation must not use, with the term it uses instead.
TEST_F(Localization, EachLanguageKeepsToItsTerms) {
    const struct {
        std::size_t language;
        const wchar_t* avoided;  // what it says instead
    } rows[] = {
        {0, L"réglages"},    // paramètres
        {0, L"suspendu"},    // coupée
        {2, L"Wi\u2011Fi"},  // WLAN
        {2, L" Verkehr"},    // Datenverkehr
        {3, L"暂停"},        // 切断
        {4, L"suspendido"},  // cortado
        {5, L"sospesa"},     // interrotta
        {5, L"Ripristina"},  // Reimposta (ripristinare means restore)
        {4, L"Restablecer"}, // Valores predeterminados (restablecer names the network action)
    };
    for (std::size_t i = 0; i < translationCount; ++i) {
        for (const auto& row : rows) {
            EXPECT_EQ(std::wstring(translations[i].texts[row.language]).find(row.avoided), std::wstring::npos)
                << translations[i].key << " in language " << row.language;
        }
    }
}

TEST_F(Localization, LookupIsExactAndFollowsTheLanguage) {
    settings.language = 3;
    EXPECT_EQ(text("dialog.journey"), L"太空之旅");
    settings.language = 1;
    EXPECT_EQ(text("dialog.journey"), L"Journey through space");
    settings.language = 0;
    EXPECT_EQ(text("dialog.journey"), L"Voyage dans l’espace");
    EXPECT_EQ(text("Dialog.journey"), L"");
    EXPECT_EQ(text(""), L"");
    EXPECT_EQ(text("dialog.journey "), L"");
    EXPECT_EQ(text("dialog"), L"");
}

TEST_F(Localization, TrPicksTheCurrentLanguageAndHoldsAnOutOfRangeOneToItalian) {
    settings.language = 4;
    EXPECT_EQ(tr(L"fr", L"en", L"de", L"zh", L"es", L"it"), L"es");
    settings.language = 0xFFFFFFFF;
    EXPECT_EQ(tr(L"fr", L"en", L"de", L"zh", L"es", L"it"), L"it");
    EXPECT_EQ(text("common.save"), L"Salva");
}

}  // namespace
}  // namespace calmlane
