// The status texts as functions of what the queries found, and the report read from a real prefix.
#include <gtest/gtest.h>

#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/policy.h"
#include "configuration/saver_selection.h"
#include "app/settings.h"
#include "support/registry_scratch.h"
#include "tray/network_status.h"

namespace calmlane {
namespace {

constexpr unsigned long English = 1, Chinese = 3, French = 0;

struct LanguageScope {
    explicit LanguageScope(unsigned long language) : saved(settings.language) { settings.language = language; }
    ~LanguageScope() { settings.language = saved; }
    unsigned long saved;
};

TEST(StatusText, IdleDurations) {
    const struct {
        unsigned long language, seconds;
        const wchar_t* expected;
    } rows[] = {
        {English, 600, L"10 min"}, {English, 90, L"1 min 30 s"}, {English, 45, L"45 s"},
        {English, 60, L"1 min"},   {English, 59, L"59 s"},       {English, 3599, L"59 min 59 s"},
        {French, 90, L"1 min 30 s"}, {Chinese, 90, L"1 分钟 30 秒"}, {Chinese, 120, L"2 分钟"},
    };
    for (const auto& row : rows) {
        LanguageScope language(row.language);
        EXPECT_EQ(idleDuration(row.seconds), row.expected) << row.seconds;
    }
}

TEST(StatusText, SentencesAndNetworkLines) {
    LanguageScope language(English);
    StatusFacts configured;
    configured.selected = configured.activeRead = configured.active = configured.timeoutRead = true;
    configured.timeoutSeconds = 600;
    configured.serviceRunning = configured.modeChosen = configured.stateRead = true;

    auto with = [&](auto change) {
        StatusFacts f = configured;
        change(f);
        return f;
    };
    const struct {
        StatusFacts facts;
        const wchar_t* expected;
    } rows[] = {
        {configured,
         L"Calmlane is configured and enabled as the screen saver.\nIdle time before activation: 10 min\n\n"
         L"Block with Windows Firewall\nReady — not blocked"},
        {with([](StatusFacts& f) { f.selected = false; f.modeChosen = false; f.firewall = false; }),
         L"Calmlane is not selected as the screen saver.\n\nchoose mode on first activation\nReady — not blocked"},
        {with([](StatusFacts& f) { f.activeRead = false; f.firewall = false; f.networkState = 1; }),
         L"Calmlane is selected, but activation could not be verified.\n\nDisable network adapters\nBlocked"},
        {with([](StatusFacts& f) { f.timeoutSeconds = 0; f.networkState = 2; }),
         L"Calmlane is selected, but automatic screen saver activation is disabled.\n\n"
         L"Block with Windows Firewall\nRestoring"},
        {with([](StatusFacts& f) { f.active = false; f.networkState = 3; }),
         L"Calmlane is selected, but automatic screen saver activation is disabled.\n\n"
         L"Block with Windows Firewall\nError — check status"},
        {with([](StatusFacts& f) { f.timeoutRead = false; f.networkState = 7; }),
         L"Calmlane is configured and enabled as the screen saver.\nIdle timeout unavailable.\n\n"
         L"Block with Windows Firewall\nError — check status"},
        {with([](StatusFacts& f) { f.stateRead = false; }),
         L"Calmlane is configured and enabled as the screen saver.\nIdle time before activation: 10 min\n\n"
         L"Block with Windows Firewall\nError — check status"},
        {with([](StatusFacts& f) { f.selected = false; f.otherSaverForced = f.saverForcedOff = true; }),
         L"Calmlane is not selected as the screen saver.\nA policy of your organisation sets another screen saver: "
         L"Calmlane cannot be enabled.\n\nBlock with Windows Firewall\nReady — not blocked"},
        {with([](StatusFacts& f) { f.serviceRunning = false; f.timeoutSeconds = 45; }),
         L"Calmlane is configured and enabled as the screen saver.\nIdle time before activation: 45 s\n\n"
         L"Service unavailable — network state unknown"},
    };
    for (const auto& row : rows) EXPECT_EQ(statusText(row.facts), row.expected);
}

TEST(StatusText, EveryLanguageHasItsOwnWordsAndNoCarriageReturn) {
    StatusFacts f;
    f.selected = f.activeRead = f.active = f.timeoutRead = f.serviceRunning = f.modeChosen = f.stateRead = true;
    f.timeoutSeconds = 90;
    std::wstring english;
    {
        LanguageScope language(English);
        english = statusText(f);
    }
    for (unsigned long language = 0; language < 6; ++language) {
        LanguageScope scope(language);
        const std::wstring text = statusText(f);
        EXPECT_EQ(text.find(L'\r'), std::wstring::npos) << language;
        EXPECT_NE(text.find(language == Chinese ? L"1 分钟 30 秒" : L"1 min 30 s"), std::wstring::npos) << language;
        if (language != English) {
            EXPECT_NE(text, english) << language;
        }
    }
}

TEST(ConfigurationReport, ReadsTheMachineAsItIs) {
    test::RegistryScratch scratch;
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"Language", English);  // the report reloads the settings
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) + L"calmlane-report";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring saver = folder + L"\\Calmlane.scr";
    DeleteFileW(saver.c_str());
    writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", folder);
    // No service here: no mode name, whatever was chosen.
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    const std::wstring tail = L"\n\nService unavailable — network state unknown\n\nScreen saver file: %s\n"
                              L"Windows service: stopped or missing\n\nLocal checks only: no network interruption or "
                              L"Internet connectivity test. If needed, use “Restore network…” in the app.";
    for (const wchar_t* file : {L"missing — reinstall", L"present"}) {
        std::wstring expected = tail;
        expected.replace(expected.find(L"%s"), 2, file);
        const std::wstring report = configurationReport();
        ASSERT_GT(report.size(), expected.size());
        EXPECT_EQ(report.substr(report.size() - expected.size()), expected);
        UniqueHandle created(CreateFileW(saver.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    DeleteFileW(saver.c_str());
    RemoveDirectoryW(folder.c_str());

    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0);
    settings.load();
    EXPECT_TRUE(settings.firewall);
    EXPECT_EQ(networkModeLabel(), L"choose mode on first activation");

    // What the organisation set, by registry name; the effective saver and mode follow it.
    writeDword(HKEY_LOCAL_MACHINE, PolicyKey, L"NetworkMode", 2);
    writeDword(HKEY_LOCAL_MACHINE, PolicyKey, L"DisableSupportCounter", 5);
    writeString(HKEY_CURRENT_USER, SaverPolicyKey, L"SCRNSAVE.EXE", L"C:\\Other.scr");
    writeString(HKEY_CURRENT_USER, SaverPolicyKey, L"ScreenSaveTimeOut", L"600");
    const std::wstring report = configurationReport();
    EXPECT_EQ(report.rfind(L"Calmlane is not selected as the screen saver.\nA policy of your organisation sets", 0), 0u);
    EXPECT_NE(report.find(L"Windows service: stopped or missing\n\nPolicies in force:\nNetworkMode = 2\n"
                          L"SCRNSAVE.EXE = C:\\Other.scr\nScreenSaveTimeOut = 600\n\nPolicy values ignored (outside "
                          L"their range):\nDisableSupportCounter = 5\n\nLocal checks only"),
              std::wstring::npos);
    EXPECT_EQ(networkModeLabel(), L"Disable network adapters");
}

}  // namespace
}  // namespace calmlane
