// The setup window: folder, interruption mode, Install. Sizes are in DIPs scaled by the window's DPI.
#include <windows.h>
#include <shobjidl.h>

#include <stdexcept>
#include <thread>

#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/localization.h"
#include "app/policy.h"
#include "app/settings.h"
#include "install/folder_validation.h"
#include "install/installer.h"
#include "install/programs.h"

namespace calmlane {

namespace {

constexpr const wchar_t* WindowClass = L"Calmlane.Native.Setup";
constexpr UINT InstallDone = WM_APP + 1;
constexpr int ClientWidth = 540, ClientHeight = 440;

enum Id : int {
    Title = 201, Subtitle, FolderLabel, FolderEdit, Browse, ModeTitle, Firewall, FirewallHint, Adapters,
    AdaptersHint, Result,
};

enum class Tone { Plain, Success, Failure };
enum class FontKind { Normal, Bold, Title };

struct Control {
    int id;
    const wchar_t* className;
    DWORD style;
    FontKind font;
    int x, y, w, h;  // DIPs
};

const Control Layout[] = {
    {Title, L"STATIC", SS_LEFT, FontKind::Title, 24, 16, 492, 36},
    {Subtitle, L"STATIC", SS_LEFT, FontKind::Normal, 24, 56, 492, 40},
    {FolderLabel, L"STATIC", SS_LEFT, FontKind::Bold, 24, 110, 492, 20},
    {FolderEdit, L"EDIT", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, FontKind::Normal, 24, 133, 380, 26},
    {Browse, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, FontKind::Normal, 412, 132, 104, 28},
    {ModeTitle, L"STATIC", SS_LEFT, FontKind::Bold, 24, 178, 492, 22},
    {Firewall, L"BUTTON", WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON, FontKind::Normal, 24, 204, 492, 22},
    {FirewallHint, L"STATIC", SS_LEFT, FontKind::Normal, 44, 226, 472, 36},
    {Adapters, L"BUTTON", BS_AUTORADIOBUTTON, FontKind::Normal, 24, 268, 492, 22},
    {AdaptersHint, L"STATIC", SS_LEFT, FontKind::Normal, 44, 290, 472, 36},
    {Result, L"STATIC", SS_LEFT, FontKind::Normal, 24, 336, 492, 44},
    {IDOK, L"BUTTON", WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, FontKind::Normal, 288, 392, 110, 30},
    {IDCANCEL, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, FontKind::Normal, 406, 392, 110, 30},
};

std::wstring captionText() {
    return tr(L"Installation de Calmlane", L"Calmlane Setup", L"Calmlane-Setup", L"Calmlane 安装程序",
              L"Instalación de Calmlane", L"Installazione di Calmlane");
}

std::wstring controlText(int id) {
    switch (id) {
    case Title: return Product;
    case Subtitle: return text("setup.subtitle");
    case FolderLabel:
        return tr(L"Dossier d’installation", L"Installation folder", L"Installationsordner", L"安装文件夹",
                  L"Carpeta de instalación", L"Cartella di installazione");
    case Browse: return tr(L"Parcourir…", L"Browse…", L"Durchsuchen…", L"浏览…", L"Examinar…", L"Sfoglia…");
    case ModeTitle: return text("setup.networkModeTitle");
    case Firewall: return text("setup.networkModeFirewall");
    case FirewallHint: return text("setup.networkModeFirewallHint");
    case Adapters: return text("setup.networkModeAdapters");
    case AdaptersHint: return text("setup.networkModeAdaptersHint");
    case IDOK: return tr(L"Installer", L"Install", L"Installieren", L"安装", L"Instalar", L"Installa");
    case IDCANCEL: return text("common.close");
    default: return std::wstring();
    }
}

std::wstring installingText() {
    return tr(L"Installation en cours… Cela peut prendre jusqu’à une minute.",
              L"Installing… This can take up to a minute.", L"Installation läuft… Das kann bis zu einer Minute dauern.",
              L"正在安装……最多可能需要一分钟。", L"Instalando… Puede tardar hasta un minuto.",
              L"Installazione in corso… Può richiedere fino a un minuto.");
}

std::wstring installedText() {
    return tr(L"Calmlane est installé et son service fonctionne.", L"Calmlane is installed and its service is running.",
              L"Calmlane ist installiert und sein Dienst läuft.", L"Calmlane 已安装，其服务正在运行。",
              L"Calmlane está instalado y su servicio está en ejecución.",
              L"Calmlane è installato e il suo servizio è in esecuzione.");
}

std::wstring failedText() {
    return tr(L"L’installation n’a pas abouti. Le message d’erreur indique l’étape qui a échoué.",
              L"Installation did not complete. The error message names the step that failed.",
              L"Die Installation wurde nicht abgeschlossen. Die Fehlermeldung nennt den fehlgeschlagenen Schritt.",
              L"安装未完成。错误消息指出了失败的步骤。",
              L"La instalación no se completó. El mensaje de error indica el paso que falló.",
              L"L’installazione non è stata completata. Il messaggio di errore indica il passaggio non riuscito.");
}

std::wstring pickerTitle() {
    return tr(L"Choisir le dossier d’installation", L"Choose the installation folder", L"Installationsordner wählen",
              L"选择安装文件夹", L"Elegir la carpeta de instalación", L"Scegli la cartella di installazione");
}

std::wstring widen(const char* message) {
    std::wstring wide;
    for (const char* c = message; *c != '\0'; ++c) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    return wide;
}

class SetupWindow {
public:
    HWND window = nullptr;
    UINT dpi = 96;
    UniqueGdiObject fonts[3];
    Tone tone = Tone::Plain;
    bool busy = false;
    bool modeFixed = false;  // the organisation's NetworkMode policy sets the mode
    std::thread worker;

    int scale(int dips) const { return MulDiv(dips, static_cast<int>(dpi), 96); }
    HWND item(int id) const { return GetDlgItem(window, id); }

    void createFonts() {
        NONCLIENTMETRICSW metrics = {};
        metrics.cbSize = sizeof(metrics);
        LOGFONTW base = {};
        if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
            base = metrics.lfMessageFont;
        } else {
            base.lfHeight = -MulDiv(9, static_cast<int>(dpi), 72);
            base.lfCharSet = DEFAULT_CHARSET;
            lstrcpynW(base.lfFaceName, L"Segoe UI", LF_FACESIZE);
        }
        if (settings.language == 3) {
            // Chinese: the face Windows uses for Chinese interfaces; the charset lets the font mapper
            // find a Chinese face where that one is missing.
            base.lfCharSet = GB2312_CHARSET;
            lstrcpynW(base.lfFaceName, L"Microsoft YaHei UI", LF_FACESIZE);
        }
        LOGFONTW bold = base;
        bold.lfWeight = FW_SEMIBOLD;
        LOGFONTW title = bold;
        title.lfHeight = MulDiv(base.lfHeight, 16, 9);
        fonts[0].reset(CreateFontIndirectW(&base));
        fonts[1].reset(CreateFontIndirectW(&bold));
        fonts[2].reset(CreateFontIndirectW(&title));
    }

    void layout() {
        for (const Control& c : Layout) {
            HWND control = item(c.id);
            MoveWindow(control, scale(c.x), scale(c.y), scale(c.w), scale(c.h), TRUE);
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(fonts[static_cast<int>(c.font)].get()), TRUE);
        }
    }

    bool createControls() {
        for (const Control& c : Layout) {
            HWND control = CreateWindowExW(0, c.className, controlText(c.id).c_str(), WS_CHILD | WS_VISIBLE | c.style,
                                           0, 0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)),
                                           instance, nullptr);
            if (!control) return false;
        }
        SetWindowTextW(item(FolderEdit), installDir().c_str());
        // settings.firewall is the policy's mode when one is set: shown, but not to be changed.
        CheckRadioButton(window, Firewall, Adapters, settings.firewall ? Firewall : Adapters);
        modeFixed = readPolicies().networkMode != 0;
        if (modeFixed) {
            EnableWindow(item(Firewall), FALSE);
            EnableWindow(item(Adapters), FALSE);
            showResult(text("policy.networkMode"), Tone::Plain);
        }
        return true;
    }

    // Client size for the current DPI, centred on the window's monitor.
    void placeWindow() {
        const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
        RECT frame = {0, 0, scale(ClientWidth), scale(ClientHeight)};
        AdjustWindowRectExForDpi(&frame, style, FALSE, 0, dpi);
        MONITORINFO monitor = {};
        monitor.cbSize = sizeof(monitor);
        GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
        const RECT& work = monitor.rcWork;
        const int w = frame.right - frame.left, h = frame.bottom - frame.top;
        SetWindowPos(window, nullptr, work.left + (work.right - work.left - w) / 2,
                     work.top + (work.bottom - work.top - h) / 2, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    }

    void showResult(const std::wstring& message, Tone resultTone) {
        tone = resultTone;
        SetWindowTextW(item(Result), message.c_str());
        InvalidateRect(item(Result), nullptr, TRUE);
    }

    void setBusy(bool on) {
        busy = on;
        for (int id : {static_cast<int>(FolderEdit), static_cast<int>(Browse), static_cast<int>(Firewall),
                       static_cast<int>(Adapters), static_cast<int>(IDOK), static_cast<int>(IDCANCEL)}) {
            const bool modeChoice = id == Firewall || id == Adapters;
            EnableWindow(item(id), on || (modeChoice && modeFixed) ? FALSE : TRUE);
        }
    }

    std::wstring folderText() const { return windowText(item(FolderEdit)); }

    // The folder is checked before anything is written; a refusal is shown and nothing else happens.
    void install() {
        if (busy) return;
        std::wstring folder;
        // A second attempt is checked against the machine, not against the folder of the first one.
        installDirectoryOverride.clear();
        try {
            folder = validateInstallDirectory(folderText());
        } catch (const std::exception& e) {
            showResult(widen(e.what()), Tone::Failure);
            return;
        }
        installDirectoryOverride = folder;
        const bool firewall = IsDlgButtonChecked(window, Firewall) == BST_CHECKED;
        setBusy(true);
        showResult(installingText(), Tone::Plain);
        const HWND owner = window;
        try {
            worker = std::thread([owner, firewall] {
                const int result = installFromPackage(firewall);
                PostMessageW(owner, InstallDone, static_cast<WPARAM>(result), 0);
            });
        } catch (const std::exception& e) {
            setBusy(false);
            showResult(widen(e.what()), Tone::Failure);
        }
    }

    void finishInstall(int result) {
        if (worker.joinable()) worker.join();
        setBusy(false);
        if (result == 0 || result == ERROR_SUCCESS_REBOOT_REQUIRED) {
            showResult(installedText(), Tone::Success);
        } else {
            showResult(failedText(), Tone::Failure);
        }
    }

    // The shell's folder picker; a folder not named for the product gets a "Calmlane" folder inside it.
    void browse() {
        UniqueCom<IFileOpenDialog> dialog;
        if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                                    reinterpret_cast<void**>(dialog.put())))) {
            return;
        }
        FILEOPENDIALOGOPTIONS options = 0;
        if (FAILED(dialog.get()->GetOptions(&options)) ||
            FAILED(dialog.get()->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST)) ||
            FAILED(dialog.get()->SetTitle(pickerTitle().c_str())) || FAILED(dialog.get()->Show(window))) {
            return;  // also when the user cancels
        }
        UniqueCom<IShellItem> chosen;
        wchar_t* raw = nullptr;
        if (FAILED(dialog.get()->GetResult(chosen.put())) ||
            FAILED(chosen.get()->GetDisplayName(SIGDN_FILESYSPATH, &raw))) {
            return;
        }
        UniqueCoTaskMem owned(raw);
        std::wstring path = raw;
        while (path.size() > 3 && path.back() == L'\\') path.pop_back();
        const std::size_t slash = path.find_last_of(L'\\');
        const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
        if (!sameText(name, Product)) path += (path.back() == L'\\' ? L"" : L"\\") + std::wstring(Product);
        SetWindowTextW(item(FolderEdit), path.c_str());
    }

    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
            case IDOK: install(); return 0;
            case Browse: browse(); return 0;
            case IDCANCEL: PostMessageW(window, WM_CLOSE, 0, 0); return 0;
            }
            break;
        case InstallDone: finishInstall(static_cast<int>(wParam)); return 0;
        case WM_CTLCOLORSTATIC: {
            const HDC dc = reinterpret_cast<HDC>(wParam);
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            COLORREF color = GetSysColor(COLOR_WINDOWTEXT);
            if (id == FirewallHint || id == AdaptersHint) color = GetSysColor(COLOR_GRAYTEXT);
            if (id == Result && tone == Tone::Success) color = RGB(0x10, 0x7C, 0x10);
            if (id == Result && tone == Tone::Failure) color = RGB(0xC4, 0x2B, 0x1C);
            SetTextColor(dc, color);
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        case WM_DPICHANGED: {
            dpi = HIWORD(wParam);
            createFonts();
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            layout();
            return 0;
        }
        case WM_CLOSE:
            if (!busy) DestroyWindow(window);  // an install in progress runs to its end
            return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
};

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* ui = static_cast<SetupWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        ui->window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(ui));
    }
    auto* ui = reinterpret_cast<SetupWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return ui ? ui->handle(message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int runSetupWindow() {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
    windowClass.lpszClassName = WindowClass;
    if (!RegisterClassExW(&windowClass)) return 1;
    SetupWindow ui;
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    if (!CreateWindowExW(0, WindowClass, captionText().c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, nullptr,
                         nullptr, instance, &ui)) {
        return 1;
    }
    ui.dpi = GetDpiForWindow(ui.window);
    if (ui.dpi == 0) ui.dpi = 96;
    ui.createFonts();
    if (!ui.createControls()) {
        DestroyWindow(ui.window);
        return 1;
    }
    ui.layout();
    ui.placeWindow();
    ShowWindow(ui.window, SW_SHOWNORMAL);
    SetFocus(GetDlgItem(ui.window, IDOK));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(ui.window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace calmlane
