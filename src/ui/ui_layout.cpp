// Geometry of the main window's pages: everything in DIPs, scaled by the window's DPI, rebuilt from
// scratch on every layout.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "app/constants.h"
#include "app/globals.h"
#include "app/localization.h"
#include "app/policy.h"
#include "configuration/saver_selection.h"
#include "install/installer.h"
#include "saver/saver.h"
#include "tray/network_status.h"
#include "ui/accessibility.h"
#include "ui/ui.h"

#include <commctrl.h>  // after windows.h
#include "update/support.h"

namespace calmlane {

namespace {

constexpr int WideWidth = 796;  // DIPs: from here the main page has two columns

// Clears the layout guard on every way out of a layout.
struct LayoutGuard {
    bool& flag;
    ~LayoutGuard() { flag = false; }
};

std::wstring productDescription() {
    return tr(L"Tant qu’il s’affiche, Calmlane retire cet ordinateur d’Internet et du réseau local, et rend la "
              L"connexion dès votre retour.",
              L"While it runs, Calmlane takes this computer off the Internet and the local network, and gives the "
              L"connection back as soon as you return.",
              L"Solange er läuft, trennt Calmlane diesen Computer vom Internet und vom lokalen Netzwerk und gibt die "
              L"Verbindung zurück, sobald Sie wiederkommen.",
              L"运行期间，Calmlane 会让这台电脑离开互联网和局域网，您一回来就恢复连接。",
              L"Mientras se ejecuta, Calmlane desconecta este equipo de Internet y de la red local, y devuelve la "
              L"conexión en cuanto usted vuelve.",
              L"Mentre è attivo, Calmlane scollega questo computer da Internet e dalla rete locale e ripristina la "
              L"connessione appena torni.");
}

}  // namespace

std::wstring statusCardText(const Ui& ui) {
    std::wstring line = ui.installed ? tr(L"Application installée — service Windows présent",
                                          L"Application installed — Windows service present",
                                          L"Anwendung installiert — Windows-Dienst vorhanden", L"应用已安装 — Windows 服务存在",
                                          L"Aplicación instalada — servicio de Windows presente",
                                          L"Applicazione installata — servizio Windows presente")
                                     : text("setup.notInstalled");
    line += L"\r\n";
    if (ui.operation) {
        line += saverOperationLabel(ui.operation->action);
    } else {
        // What Windows uses: the user's screen-saver policies win over the user's own settings.
        const EffectiveSaver saver = effectiveSaver();
        const bool enabled = saver.activeRead && saver.active && saver.selected;
        line += enabled ? tr(L"Économiseur d’écran Calmlane\u00A0: activé", L"Calmlane screen saver: enabled",
                             L"Calmlane-Bildschirmschoner: aktiviert", L"Calmlane 屏幕保护程序：已启用",
                             L"Protector de pantalla Calmlane: activado", L"Screen saver Calmlane: attivato")
                        : tr(L"Économiseur d’écran Calmlane\u00A0: non activé", L"Calmlane screen saver: not enabled",
                             L"Calmlane-Bildschirmschoner: nicht aktiviert", L"Calmlane 屏幕保护程序：未启用",
                             L"Protector de pantalla Calmlane: no activado", L"Screen saver Calmlane: non attivato");
        const std::wstring blocked =
            enableBlockedText(saver.block == SaverBlock::OtherSaver, saver.block == SaverBlock::SaverOff);
        if (!blocked.empty()) line += L"\r\n" + blocked;
    }
    line += L"\r\n";
    line += tr(L"Mode configuré\u00A0: ", L"Configured mode: ", L"Konfigurierter Modus: ", L"已配置的模式：",
               L"Modo configurado: ", L"Modalità configurata: ") +
            networkModeLabel();
    if (readPolicies().networkMode != 0) line += L"\r\n" + text("policy.networkMode");
    return line;
}

namespace {

std::wstring actionText(const Ui& ui, int id) {
    if (ui.operation && id == (ui.operation->action == SaverAction::Enable ? EnableButton : DisableButton)) {
        return saverOperationLabel(ui.operation->action);
    }
    switch (id) {
    case EnableButton:
        return tr(L"Activer Calmlane", L"Enable Calmlane", L"Calmlane aktivieren", L"启用 Calmlane", L"Activar Calmlane",
                  L"Attiva Calmlane");
    case CustomizeButton:
        return text("setup.customize");
    case DisableButton:
        return tr(L"Désactiver Calmlane", L"Disable Calmlane", L"Calmlane deaktivieren", L"停用 Calmlane",
                  L"Desactivar Calmlane", L"Disattiva Calmlane");
    case WindowsSettingsButton:
        return text("setup.windowsSettings");
    case NetworkModeButton:
        return text("setup.networkModeTitle");
    default:
        return checkConfigurationText();
    }
}

}  // namespace

std::wstring updateLine(const std::wstring& version) {
    return filled(tr(L"Mise à jour Calmlane %s — Télécharger et installer", L"Calmlane %s update — Download and install",
                     L"Calmlane-Update %s — Herunterladen und installieren", L"Calmlane %s 更新 — 下载并安装",
                     L"Actualización de Calmlane %s — Descargar e instalar", L"Aggiornamento Calmlane %s — Scarica e installa"),
                  version);
}

std::wstring checkConfigurationText() {
    return tr(L"Vérifier la configuration", L"Check configuration", L"Konfiguration prüfen", L"检查配置",
              L"Comprobar la configuración", L"Verifica la configurazione");
}

int Ui::measure(const std::wstring& text, int width, bool title) {
    RECT measured = {0, 0, px(width), 0};
    const WindowDc dc(window);
    if (dc) {
        const ScopedSelection selection(dc.get(), font(title ? 1 : 0));
        DrawTextW(dc.get(), text.c_str(), -1, &measured, DT_WORDBREAK | DT_CALCRECT | DT_NOPREFIX);
    }
    return static_cast<int>(std::ceil(measured.bottom / scale));
}

int Ui::label(const std::wstring& text, int x, int y, int width, bool title) {
    const int height = measure(text, width, title);
    labels.push_back({RECT{px(x), px(y), px(x + width), px(y + height + 6)}, text, title ? 1 : 0, palette::LabelText});
    return height;
}

int Ui::caption(const std::wstring& text, int id, int x, int y, int width) {
    const int height = measure(text, width, false);
    create(WC_STATICW, text, id, x, y, width, height + 6, SS_LEFT | SS_NOPREFIX);
    return height;
}

HWND Ui::create(const wchar_t* className, const std::wstring& text, int id, int x, int y, int width, int height,
                DWORD style) {
    const RECT rect = {px(x), px(y), px(x + width), px(y + height)};
    HWND control = CreateWindowExW(0, className, text.c_str(), WS_CHILD | WS_VISIBLE | style, rect.left,
                                   rect.top - scroll, rect.right - rect.left, rect.bottom - rect.top, window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (control == nullptr) throw std::runtime_error("Cannot create the window.");
    controls.push_back(control);
    controlRects.push_back(rect);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font(0)), FALSE);
    return control;
}

HWND Ui::add(const wchar_t* className, const std::wstring& text, int id, int x, int y, int width, int height,
             DWORD style) {
    HWND control = create(className, text, id, x, y, width, height, WS_TABSTOP | style);
    const bool button = std::wstring(className) == WC_BUTTONW;
    const bool ownerDrawn = button && (style & BS_TYPEMASK) == BS_OWNERDRAW;
    if ((ownerDrawn && !SetWindowSubclass(control, hoverProc, 1, 0)) ||
        !SetWindowSubclass(control, focusProc, 2, button ? 1 : 0)) {
        throw std::runtime_error("Cannot create the window.");
    }
    return control;
}

int Ui::header(int width) {
    const int title = label(Product, 88, 24, width - 116, true);
    const int version = label(std::wstring(L"v") + Version + L"  ·  Windows x64", 88, 28 + title, width - 116, false);
    labels.back().color = palette::VersionLine;
    headerEnd = 28 + title + version + 20;
    return headerEnd;
}

int Ui::mainPage(int width) {
    constexpr DWORD Button = BS_OWNERDRAW;
    const bool wide = width >= WideWidth;
    int y = headerEnd + 24;
    const int languageX = wide ? width - 268 : 28;
    const int languageY = wide ? 24 : headerEnd + 44;
    caption(text("language.caption"), Caption, languageX, languageY, 240);
    HWND languages = add(WC_COMBOBOXW, L"", LanguageBox, languageX, languageY + 30, std::min(240, width - 56), 230,
                         CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS | WS_VSCROLL);
    for (const wchar_t* name : languageNames) SendMessageW(languages, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    SendMessageW(languages, CB_SETCURSEL, settings.language, 0);
    if (!wide) y = languageY + 30 + 36 + 20;

    y += label(text("setup.subtitle"), 28, y, width - 56, false) + 8;
    y += label(productDescription(), 28, y, width - 56, false);

    const int cardTop = y + 18;
    installed = serviceInstalled();
    const int cardText = caption(statusCardText(*this), StatusCard, 46, cardTop + 15, width - 92);
    const int cardBottom = cardTop + cardText + 30;
    statusPanel = RECT{px(28), px(cardTop), px(width - 28), px(cardBottom)};

    const Policies policies = readPolicies();
    const int rowsTop = cardBottom + 22;
    const int column = (width - 70) / 2;
    const int secondX = column + 42;
    const int actions[] = {EnableButton, CustomizeButton, DisableButton, WindowsSettingsButton, NetworkModeButton,
                           ConfigurationButton};
    for (int i = 0; i < 6; ++i) {
        if (wide) {
            add(WC_BUTTONW, actionText(*this, actions[i]), actions[i], i % 2 == 0 ? 28 : secondX, rowsTop + i / 2 * 64,
                column, 52, Button);
        } else {
            add(WC_BUTTONW, actionText(*this, actions[i]), actions[i], 28, rowsTop + i * 64, width - 56, 52, Button);
        }
    }
    // What the organisation's policies keep from the user; the status card says why.
    if (effectiveSaver().block != SaverBlock::None) EnableWindow(GetDlgItem(window, EnableButton), FALSE);
    if (policies.networkMode != 0) EnableWindow(GetDlgItem(window, NetworkModeButton), FALSE);

    const int restoreTop = rowsTop + (wide ? 200 : 392);
    add(WC_BUTTONW, restoreNetworkText(), RestoreButton, 28, restoreTop, width - 56, 44, Button);
    const int note = label(
        tr(L"Désactiver l’économiseur d’écran laisse l’application installée. Pour la désinstaller\u00A0: Paramètres "
           L"Windows → Applications.",
           L"Disabling the screen saver keeps the app installed. To uninstall: Windows Settings → Apps.",
           L"Das Deaktivieren des Bildschirmschoners lässt die App installiert. Zum Deinstallieren: "
           L"Windows-Einstellungen → Apps.",
           L"停用屏幕保护程序不会卸载应用。如需卸载：Windows 设置 → 应用。",
           L"Desactivar el protector de pantalla mantiene la aplicación instalada. Para desinstalarla: Configuración "
           L"de Windows → Aplicaciones.",
           L"Disattivare lo screen saver lascia l’app installata. Per disinstallarla: Impostazioni di Windows → App."),
        28, restoreTop + 56, width - 56, false);
    labels.back().color = palette::Note;

    const int aboutTop = restoreTop + note + 74;
    add(WC_BUTTONW, text("about.button"), AboutButton, 28, aboutTop, column, 48, Button);
    if (!policies.supportCounterDisabled) {
        const bool liked = likedCurrentVersion();
        HWND support = add(WC_BUTTONW,
                           liked ? tr(L"♥ Merci pour votre soutien\u00A0!", L"♥ Thank you for your support!",
                                      L"♥ Danke für Ihre Unterstützung!", L"♥ 感谢您的支持！",
                                      L"♥ ¡Gracias por su apoyo!", L"♥ Grazie per il tuo sostegno!")
                                 : tr(L"♥ J’aime cette application", L"♥ I like this app", L"♥ Mir gefällt diese App",
                                      L"♥ 我喜欢这个应用", L"♥ Me gusta esta aplicación", L"♥ Mi piace questa app"),
                           SupportButton, secondX, aboutTop, column, 48, Button);
        if (liked || liking) EnableWindow(support, FALSE);
    }

    const int checkWidth = std::min(370, width - 56);
    if (policies.updateCheckDisabled) {
        // Instead of the update buttons: the organisation delivers updates.
        return aboutTop + 68 + label(text("policy.updates"), 28, aboutTop + 68, width - 56, false) + 20;
    }
    HWND check = add(WC_BUTTONW,
                     tr(L"Rechercher des mises à jour", L"Check for updates", L"Nach Updates suchen", L"检查更新",
                        L"Buscar actualizaciones", L"Controlla aggiornamenti"),
                     CheckUpdatesButton, (width - checkWidth) / 2, aboutTop + 68, checkWidth, 48, Button);
    if (checking) EnableWindow(check, FALSE);
    if (!updateInfo.available) return aboutTop + 136;

    HWND update = add(WC_BUTTONW,
                      downloading ? tr(L"Téléchargement et vérification…", L"Downloading and verifying…",
                                       L"Wird heruntergeladen und geprüft…", L"正在下载并验证…",
                                       L"Descargando y verificando…", L"Download e verifica in corso…")
                                  : updateLine(updateInfo.version),
                      UpdateButton, 28, aboutTop + 136, width - 56, 52, Button);
    if (downloading) EnableWindow(update, FALSE);
    return aboutTop + 206;
}

int Ui::customizePage(int width, int top) {
    constexpr DWORD Button = BS_OWNERDRAW;
    const bool wide = width >= WideWidth;
    int y = top + label(text("dialog.title"), 28, top, width - 56, true) + 16;

    const int columnWidth = wide ? (width - 80) / 2 : width - 56;
    const int previewX = wide ? width - 28 - columnWidth : 28;
    const int previewCaption =
        caption(tr(L"Aperçu sans coupure du réseau", L"Preview without network interruption",
                   L"Vorschau ohne Netzwerkunterbrechung", L"预览（不中断网络）", L"Vista previa sin interrupción de la red",
                   L"Anteprima senza interruzione della rete"),
                Caption, previewX, y, columnWidth);
    const int previewTop = y + previewCaption + 8;
    const int previewHeight = wide ? 300 : 190;
    const RECT previewRect = {px(previewX), px(previewTop), px(previewX + columnWidth), px(previewTop + previewHeight)};
    HWND preview = createEmbeddedPreview(window, previewRect.left, previewRect.top - scroll,
                                         previewRect.right - previewRect.left, previewRect.bottom - previewRect.top);
    if (preview == nullptr) throw std::runtime_error("Cannot create the window.");
    controls.push_back(preview);
    controlRects.push_back(previewRect);
    const int previewBottom = previewTop + previewHeight;
    if (!wide) y = previewBottom + 20;

    add(WC_BUTTONW, text("dialog.color"), ColorButton, 28, y, std::min(260, columnWidth), 44, Button);
    y += 60;
    y = slider(text("dialog.density") + L" (40–600)", DensityBar, 40, 600, settings.density, y, columnWidth);
    y = slider(text("dialog.speed") + L" (1–12)", SpeedBar, 1, 12, settings.speed, y, columnWidth);
    // As wide as the colour button: the longest text ("Valores predeterminados") stays on one line.
    add(WC_BUTTONW, text("dialog.reset"), ResetButton, 28, y, std::min(260, columnWidth), 40, Button);
    y += 60;
    if (wide) y = std::max(y, previewBottom + 24);

    if (windowsDialog) {
        y += label(tr(L"Le délai d’inactivité se règle dans la boîte de dialogue de l’économiseur d’écran de Windows.",
                      L"The wait time is set in the Windows screen saver dialog.",
                      L"Die Wartezeit wird im Bildschirmschoner-Dialog von Windows eingestellt.",
                      L"等待时间在 Windows 屏幕保护程序对话框中设置。",
                      L"El tiempo de inactividad se configura en el cuadro de diálogo del protector de pantalla de "
                      L"Windows.",
                      L"Il tempo di inattività si imposta nella finestra dello screen saver di Windows."),
                   28, y, width - 56, false) +
             16;
    } else if (const SaverPolicy policy = readSaverPolicy(); policy.timeoutSet) {
        // Windows policy sets the delay: shown, in whole minutes in the field, and not editable.
        y += caption(text("policy.idleTime") + idleDuration(policy.timeoutSeconds), Caption, 28, y, width - 56) + 4;
        const unsigned long minutes = policy.timeoutSeconds / 60 + (policy.timeoutSeconds % 60 != 0);
        HWND field = add(WC_EDITW, std::to_wstring(minutes), IdleField, 28, y, 110, 34, WS_BORDER | ES_NUMBER);
        EnableWindow(field, FALSE);
        y += 50;
    } else {
        y += caption(tr(L"Délai d’inactivité (1 à 240 minutes)", L"Idle time (1 to 240 minutes)",
                        L"Leerlaufzeit (1 bis 240 Minuten)", L"空闲时间（1 到 240 分钟）",
                        L"Tiempo de inactividad (de 1 a 240 minutos)", L"Tempo di inattività (da 1 a 240 minuti)"),
                     Caption, 28, y, width - 56) +
             4;
        add(WC_EDITW, std::to_wstring(idleMinutes), IdleField, 28, y, 110, 34, WS_BORDER | ES_NUMBER);
        y += 50;
    }
    y += caption(tr(L"Plusieurs écrans", L"Multiple displays", L"Mehrere Bildschirme", L"多显示器", L"Varias pantallas",
                    L"Più schermi"),
                 Caption, 28, y, width - 56) +
         4;
    HWND displays = add(WC_COMBOBOXW, L"", DisplaysBox, 28, y, std::min(420, width - 56), 180, CBS_DROPDOWNLIST);
    const std::wstring modes[] = {
        tr(L"Animation indépendante sur chaque écran", L"Independent animation on each display",
           L"Eigene Animation auf jedem Bildschirm", L"每个显示器独立动画", L"Animación independiente en cada pantalla",
           L"Animazione indipendente su ogni schermo"),
        tr(L"Panorama sur tous les écrans", L"Panorama across all displays", L"Panorama über alle Bildschirme",
           L"跨所有显示器的全景", L"Panorámica en todas las pantallas", L"Panorama su tutti gli schermi"),
        tr(L"Écran principal uniquement", L"Primary display only", L"Nur Hauptbildschirm", L"仅主显示器",
           L"Solo la pantalla principal", L"Solo lo schermo principale")};
    for (const std::wstring& mode : modes) SendMessageW(displays, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(mode.c_str()));
    SendMessageW(displays, CB_SETCURSEL, std::min<unsigned long>(settings.displays, 2), 0);
    y += 52;
    y += label(text("dialog.saveHint"), 28, y, width - 56, false) + 16;
    return confirmRow(width, y, SaveButton, text("common.save"));
}

int Ui::slider(const std::wstring& name, int id, long low, long high, long position, int y, int width) {
    y += caption(name, Caption, 28, y, width) + 4;
    HWND bar = add(TRACKBAR_CLASSW, L"", id, 28, y, width, 36, TBS_HORZ | TBS_NOTICKS);
    SendMessageW(bar, TBM_SETRANGEMIN, FALSE, low);
    SendMessageW(bar, TBM_SETRANGEMAX, FALSE, high);
    SendMessageW(bar, TBM_SETPOS, TRUE, position);
    return y + 48;
}

int Ui::confirmRow(int width, int y, int confirmId, const std::wstring& confirmText) {
    const int column = (width - 70) / 2;
    add(WC_BUTTONW, confirmText, confirmId, 28, y, column, 48, BS_OWNERDRAW);
    add(WC_BUTTONW, text("common.cancel"), CancelButton, column + 42, y, column, 48, BS_OWNERDRAW);
    return y + 48 + 24;
}

int Ui::networkModePage(int width, int top) {
    int y = top + label(text("setup.networkModeTitle"), 28, top, width - 56, true) + 20;
    HWND firewall = add(WC_BUTTONW, text("setup.networkModeFirewall"), FirewallRadio, 28, y, width - 56, 32,
                        BS_AUTORADIOBUTTON | WS_GROUP);
    y += 36;
    y += label(text("setup.networkModeFirewallHint"), 48, y, width - 76, false) + 16;
    HWND adapters =
        add(WC_BUTTONW, text("setup.networkModeAdapters"), AdaptersRadio, 28, y, width - 56, 32, BS_AUTORADIOBUTTON);
    y += 36;
    y += label(text("setup.networkModeAdaptersHint"), 48, y, width - 76, false) + 24;
    SendMessageW(settings.firewall ? firewall : adapters, BM_SETCHECK, BST_CHECKED, 0);
    return confirmRow(width, y, ContinueButton, text("common.continue"));
}

int Ui::aboutPage(int width, int top) {
    int y = top + label(text("about.title"), 28, top, width - 56, true) + 16;
    y += label(tr(L"Calmlane est un programme natif unique en C++ pour Windows x64, construit uniquement sur l’API "
                  L"Win32. Un service Windows effectue le travail réseau\u00A0; la fenêtre ne demande les droits "
                  L"d’administrateur que pour les changements qui touchent toute la machine.",
                  L"Calmlane is one native C++ program for Windows x64, built on the Win32 API alone. A Windows service "
                  L"does the network work; the window asks for administrator rights only for changes to the whole "
                  L"machine.",
                  L"Calmlane ist ein einziges natives C++-Programm für Windows x64, allein auf der Win32-API aufgebaut. "
                  L"Ein Windows-Dienst erledigt die Netzwerkarbeit; das Fenster fragt nur bei Änderungen am ganzen "
                  L"Computer nach Administratorrechten.",
                  L"Calmlane 是一个面向 Windows x64 的原生 C++ 程序，仅基于 Win32 API 构建。网络操作由一个 Windows "
                  L"服务完成；只有更改整台电脑的设置时，窗口才会请求管理员权限。",
                  L"Calmlane es un único programa nativo en C++ para Windows x64, construido solo sobre la API Win32. "
                  L"Un servicio de Windows hace el trabajo de red; la ventana solo pide derechos de administrador para "
                  L"los cambios que afectan a todo el equipo.",
                  L"Calmlane è un unico programma nativo in C++ per Windows x64, costruito solo sull’API Win32. Un "
                  L"servizio di Windows svolge il lavoro sulla rete; la finestra chiede i diritti di amministratore "
                  L"solo per le modifiche all’intero computer."),
               28, y, width - 56, false) +
         12;
    y += label(productDescription(), 28, y, width - 56, false) + 24;
    const int buttonWidth = std::min(370, width - 56);
    add(WC_BUTTONW, MakerCredit, AboutButton, 28, y, buttonWidth, 48, BS_OWNERDRAW);
    y += 64;
    add(WC_BUTTONW, text("common.close"), CancelButton, 28, y, buttonWidth, 48, BS_OWNERDRAW);
    return y + 48 + 24;
}

void Ui::layout() {
    if (window == nullptr) return;  // destroyed meanwhile, inside a nested loop
    const int width = build();
    // Showing or hiding the scroll bar changed the client width under the layout: once more at the new width.
    RECT client = {};
    if (GetClientRect(window, &client) && width >= 0 && static_cast<int>(client.right / scale) != width) build();
}

int Ui::build() {
    if (inLayout) return -1;
    inLayout = true;
    const LayoutGuard guard{inLayout};
    // The controls are about to go: remember which one had the focus, by id.
    HWND focus = GetFocus();
    // Disabling the focused control (a request starting) leaves the focus nowhere in the active window.
    const bool hadFocus = focus != nullptr ? focus == window || IsChild(window, focus) : GetActiveWindow() == window;
    if (focus != window && hadFocus) {
        while (GetParent(focus) != window) focus = GetParent(focus);
        focusId = GetDlgCtrlID(focus);
    }
    for (HWND control : controls) DestroyWindow(control);
    controls.clear();
    controlRects.clear();
    labels.clear();
    statusPanel = RECT{};
    highContrast = accessibility::highContrast();

    RECT client = {};
    GetClientRect(window, &client);
    const int width = static_cast<int>(client.right / scale);
    const int top = header(width) + 20;
    int bottom = 0;
    switch (page) {
    case 1:
        bottom = customizePage(width, top);
        break;
    case 2:
        bottom = networkModePage(width, top);
        break;
    case 3:
        bottom = aboutPage(width, top);
        break;
    default:
        bottom = mainPage(width);
        break;
    }
    contentHeight = px(bottom);
    if (busy()) {
        for (HWND control : controls) {
            if (busyControl(GetDlgCtrlID(control))) EnableWindow(control, FALSE);
        }
    }

    SCROLLINFO info = {sizeof(info), SIF_RANGE | SIF_PAGE | SIF_POS, 0, contentHeight,
                       static_cast<UINT>(client.bottom), scroll, 0};
    SetScrollInfo(window, SB_VERT, &info, TRUE);
    info.fMask = SIF_POS;
    if (GetScrollInfo(window, SB_VERT, &info)) scroll = info.nPos;
    reposition();
    if (hadFocus) restoreFocus();
    return width;
}

void Ui::restoreFocus() {
    const int wanted = focusId;
    HWND target = wanted != 0 ? GetDlgItem(window, wanted) : nullptr;
    const bool fallback = target == nullptr || !IsWindowEnabled(target);
    if (fallback) target = GetNextDlgTabItem(window, nullptr, FALSE);
    if (target != nullptr) SetFocus(target);
    // A stand-in for a control disabled for now: the next rebuild gives the focus back to the wanted one.
    if (fallback && wanted != 0) focusId = wanted;
}

void Ui::reposition() {
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const RECT& rect = controlRects[i];
        SetWindowPos(controls[i], nullptr, rect.left, rect.top - scroll, rect.right - rect.left, rect.bottom - rect.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    InvalidateRect(window, nullptr, TRUE);
}

void Ui::fitHeight() {
    RECT frame = {}, client = {};
    MONITORINFO monitor = {sizeof(monitor), {}, {}, 0};
    if (!GetWindowRect(window, &frame) || !GetClientRect(window, &client) ||
        !GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
        return;
    }
    const RECT fitted = fittedWindowRect(frame, (frame.bottom - frame.top) - client.bottom, contentHeight, scale,
                                         monitor.rcWork);
    SetWindowPos(window, nullptr, fitted.left, fitted.top, fitted.right - fitted.left, fitted.bottom - fitted.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void Ui::createFonts() {
    auto make = [this](int height, int weight) {
        return UniqueGdiObject(CreateFontW(-px(height), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                           DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
    };
    UniqueGdiObject normal = make(16, FW_NORMAL);
    UniqueGdiObject title = make(30, FW_BOLD);
    if (!normal || !title) throw std::runtime_error("Cannot create the window.");
    // The controls let go of the old font before it is deleted.
    for (HWND control : controls) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(normal.get()), FALSE);
    fonts[0] = std::move(normal);
    fonts[1] = std::move(title);
}

}  // namespace calmlane
