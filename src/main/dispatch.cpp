#include "main/dispatch.h"

#include <climits>
#include <cwchar>

namespace calmlane {

namespace {

std::wstring asciiLower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

std::uint64_t parseHandle(const std::wstring& text) { return std::wcstoull(text.c_str(), nullptr, 10); }

// Decimal text read as Windows' _wtoi reads it: blanks, a sign, digits, saturated to the int range.
int parseInt(const std::wstring& text) {
    const long long value = std::wcstoll(text.c_str(), nullptr, 10);
    return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int clampInt(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

// The window handle of "/p" and "/c" in both forms Windows uses: after the first ":" ("/p:1234"), or as
// the next argument ("/p 1234"); 0 when there is none.
std::uint64_t handleArgument(const std::wstring& role, const std::vector<std::wstring>& args) {
    const std::size_t colon = role.find(L':');
    if (colon != std::wstring::npos) return parseHandle(role.substr(colon + 1));
    return args.size() >= 3 ? parseHandle(args[2]) : 0;
}

}  // namespace

Dispatch decideRole(const std::vector<std::wstring>& args) {
    Dispatch d;
    const std::wstring role = args.size() >= 2 ? args[1] : std::wstring();
    const std::size_t count = args.size();
    for (std::size_t i = 2; i < count; ++i) d.quiet = d.quiet || args[i] == L"--quiet";

    struct Exact {
        const wchar_t* option;
        Role role;
    };
    static const Exact exactOptions[] = {
        {L"--tray", Role::Tray},
        {L"--restore-network", Role::RestoreNetwork},
        {L"--service", Role::Service},
        {L"--mode-firewall", Role::ModeFirewall},
        {L"--mode-adapters", Role::ModeAdapters},
        {L"--activate", Role::Activate},
        {L"--deactivate", Role::Deactivate},
    };
    for (const Exact& option : exactOptions) {
        if (role == option.option) {
            d.role = option.role;
            return d;
        }
    }
    if (role == L"--set-timeout" && count >= 3) {
        d.role = Role::SetTimeout;
        d.timeoutMinutes = static_cast<unsigned>(parseInt(args[2]));
        return d;
    }
    static const Exact laterOptions[] = {
        {L"--uninstall", Role::Uninstall},
        {L"--diagnostics", Role::Diagnostics},
        {L"--preview", Role::Preview},
        {L"--preview-test", Role::PreviewTest},
        {L"--network-test", Role::NetworkTest},
    };
    for (const Exact& option : laterOptions) {
        if (role == option.option) {
            d.role = option.role;
            return d;
        }
    }

    const std::wstring lower = asciiLower(role);
    if (startsWith(lower, L"/p")) {
        d.role = Role::EmbeddedPreview;
        d.previewWindow = handleArgument(role, args);
        return d;
    }
    if (lower == L"/s") {
        d.role = Role::ScreenSaver;
        return d;
    }
    if (startsWith(lower, L"/c")) {
        d.requestedPage = 1;
        d.settingsDialog = handleArgument(role, args);
    }
    if (role == L"--ui-test" && count >= 5) {
        d.uiTest = true;
        d.uiLanguage = static_cast<unsigned long>(clampInt(parseInt(args[2]), 0, 5));
        d.requestedPage = clampInt(parseInt(args[3]), 0, 3);
        d.snapshotPath = args[4];
        if (count >= 6) d.snapshotUpdateVersion = args[5];
    }
    d.role = Role::Window;
    return d;
}

std::uint64_t saverIdleThresholdMs(long long timeoutSeconds) {
    constexpr std::uint64_t Minimum = 10000;
    if (timeoutSeconds < 3) return Minimum;
    // 64-bit: the timeout comes from a user-writable value.
    const std::uint64_t threshold = static_cast<std::uint64_t>(timeoutSeconds - 2) * 1000u;
    return threshold < Minimum ? Minimum : threshold;
}

bool screenSaverPreviewOnly(std::uint32_t tick, bool inputRead, std::uint32_t lastInput, bool timeoutRead,
                            int timeoutSeconds) {
    if (!inputRead) return false;
    const std::uint32_t idle = tick - lastInput;  // unsigned: right across the 49.7-day wrap
    return idle < saverIdleThresholdMs(timeoutRead ? timeoutSeconds : 600);
}

}  // namespace calmlane
