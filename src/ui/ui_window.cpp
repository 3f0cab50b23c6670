// The main window's life: its creation, the modal secondary pages, the commands and the results that
// background workers post back.
#include <algorithm>
#include <cwchar>
#include <memory>
#include <stdexcept>

#include "app/constants.h"
#include "app/globals.h"
#include "app/localization.h"
#include "app/policy.h"
#include "configuration/saver_selection.h"
#include "install/installer.h"
#include "protocol/service_clients.h"
#include "tray/network_status.h"
#include "ui/accessibility.h"
#include "ui/ui.h"

#include <commctrl.h>  // after windows.h
#include <shellapi.h>
#include "update/download.h"
#include "update/support.h"
#include "update/web_services.h"
#include "update/worker.h"

namespace calmlane {

namespace {

COLORREF customColors[16] = {};  // the colour chooser's custom colours, kept for the process
bool snapshotFailed = false;     // the UI self-test's picture could not be written

Ui* uiOf(HWND window) { return reinterpret_cast<Ui*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

void inform(HWND window, const std::wstring& message) {
    MessageBoxW(window, message.c_str(), Product, MB_OK | MB_ICONINFORMATION);
}

void warn(HWND window, const std::wstring& message) {
    MessageBoxW(window, message.c_str(), Product, MB_OK | MB_ICONWARNING);
}

bool registerUiClass() {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                        LR_SHARED));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = UiClass;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The state every page starts from.
void prepare(Ui& ui, int page) {
    ui.page = page;
    ui.scale = 1;
    ui.idleMinutes = 10;
    ui.snapshot = settings;
    ui.updateInfo = cachedUpdateInfo();
    if (!snapshotUpdateVersion.empty()) {
        ui.updateInfo.answered = true;
        ui.updateInfo.available = true;
        ui.updateInfo.version = snapshotUpdateVersion;
        ui.updateInfo.url = DownloadPage;
    }
}

// The idle delay the customise page shows: Windows' own, or the product's remembered one while another
// saver is selected.
unsigned initialIdleMinutes() {
    int windowsSeconds = 600;
    if (!SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &windowsSeconds, 0)) windowsSeconds = 600;
    unsigned long seconds = static_cast<unsigned long>(std::max(windowsSeconds, 0));
    if (!isCalmlaneSelected()) seconds = readDword(HKEY_CURRENT_USER, UserRegistry, L"CalmlaneTimeoutSeconds", seconds);
    seconds = std::min(seconds, 240ul * 60);  // and no wrap-around below
    return static_cast<unsigned>(std::clamp((seconds + 59) / 60, 1ul, 240ul));
}

// The idle field's number; anything but 1 to 6 digits reads as 0, which Save refuses.
unsigned idleFieldValue(HWND field) {
    wchar_t buffer[16] = {};
    const int length = GetWindowTextW(field, buffer, 16);
    if (length < 1 || length > 6) return 0;
    unsigned value = 0;
    for (int i = 0; i < length; ++i) {
        if (buffer[i] < L'0' || buffer[i] > L'9') return 0;
        value = value * 10 + static_cast<unsigned>(buffer[i] - L'0');
    }
    return value;
}

const wchar_t* modeArgument() { return settings.firewall ? L"--mode-firewall" : L"--mode-adapters"; }

void scrollTo(Ui& ui, int position) {
    SCROLLINFO info = {sizeof(info), SIF_POS, 0, 0, 0, position, 0};
    SetScrollInfo(ui.window, SB_VERT, &info, TRUE);
    if (GetScrollInfo(ui.window, SB_VERT, &info)) ui.scroll = info.nPos;
    ui.reposition();
}

void onVerticalScroll(Ui& ui, WORD request) {
    SCROLLINFO info = {sizeof(info), SIF_ALL, 0, 0, 0, 0, 0};
    if (!GetScrollInfo(ui.window, SB_VERT, &info)) return;
    int position = info.nPos;
    switch (request) {
    case SB_LINEUP:
        position -= 32;
        break;
    case SB_LINEDOWN:
        position += 32;
        break;
    case SB_PAGEUP:
        position -= static_cast<int>(info.nPage);
        break;
    case SB_PAGEDOWN:
        position += static_cast<int>(info.nPage);
        break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION:
        position = info.nTrackPos;
        break;
    case SB_TOP:
        position = info.nMin;
        break;
    case SB_BOTTOM:
        position = info.nMax;
        break;
    default:
        return;
    }
    scrollTo(ui, position);
}

void scrollIntoView(Ui& ui, int id) {
    RECT client = {};
    if (!GetClientRect(ui.window, &client)) return;
    for (std::size_t i = 0; i < ui.controls.size(); ++i) {
        if (GetDlgCtrlID(ui.controls[i]) != id) continue;
        const RECT& rect = ui.controlRects[i];
        const int position = scrollToShow(ui.scroll, rect.top, rect.bottom, client.bottom, ui.px(12));
        if (position != ui.scroll) scrollTo(ui, position);
        return;
    }
}

// The button Enter activates (IsDialogMessageW asks with DM_GETDEFID): owner-drawn buttons do not
// claim Enter themselves.
LRESULT defaultButton(const Ui& ui) {
    HWND focus = GetFocus();
    wchar_t className[16] = {};
    const bool button = focus != nullptr && GetParent(focus) == ui.window &&
                        GetClassNameW(focus, className, 16) > 0 && lstrcmpiW(className, WC_BUTTONW) == 0 &&
                        (GetWindowLongPtrW(focus, GWL_STYLE) & BS_TYPEMASK) == BS_OWNERDRAW;
    const int id = enterTarget(ui.page, button ? GetDlgCtrlID(focus) : 0);
    return id != 0 ? MAKELRESULT(id, DC_HASDEFID) : 0;
}

void enable(Ui& ui) {
    if (effectiveSaver().block != SaverBlock::None) return;  // the status card says why
    if (!networkModeChosen()) {
        const bool chosen = showPage(ui.window, 2) == 1;
        const bool changed = chosen && !ui.closeRequested && elevateAndWait(ui.window, modeArgument());
        settings.load();  // the page's radio buttons edited the record; the registry holds what counts
        if (!changed || ui.closeRequested) {
            ui.layout();
            return;
        }
    }
    ui.startSaverAction(SaverAction::Enable);
}

void chooseNetworkMode(Ui& ui) {
    if (readPolicies().networkMode != 0) return;  // set by the organisation
    if (showPage(ui.window, 2) == 1 && !ui.closeRequested) elevateAndWait(ui.window, modeArgument());
    settings.load();
    ui.layout();
}

void chooseStarColor(Ui& ui) {
    CHOOSECOLORW choose = {};
    choose.lStructSize = sizeof(choose);
    choose.hwndOwner = ui.window;
    choose.rgbResult = settings.color;
    choose.lpCustColors = customColors;
    choose.Flags = CC_FULLOPEN | CC_RGBINIT;
    if (ChooseColorW(&choose)) settings.color = choose.rgbResult;
}

// Closes a page. An owner disabled for it is enabled first, so that Windows gives the activation back to
// the owner and not to another application's window.
void dismiss(Ui& ui) {
    HWND owner = GetWindow(ui.window, GW_OWNER);
    if (owner != nullptr) EnableWindow(owner, TRUE);
    DestroyWindow(ui.window);
}

void save(Ui& ui) {
    if (ui.idleEdited) {
        if (ui.idleMinutes < 1 || ui.idleMinutes > 240) {
            warn(ui.window, tr(L"Choisissez de 1 à 240 minutes.", L"Choose 1 to 240 minutes.",
                               L"Wählen Sie 1 bis 240 Minuten.", L"请选择 1 到 240 分钟。", L"Elija de 1 a 240 minutos.",
                               L"Scegli da 1 a 240 minuti."));
            SetFocus(GetDlgItem(ui.window, IdleField));
            return;
        }
        setSaverTimeout(ui.idleMinutes);
    }
    settings.save();
    ui.dialogResult = 1;
    dismiss(ui);
}

void restoreNetwork(Ui& ui) {
    if (elevateAndWait(ui.window, L"--restore-network")) {
        // The button that shows the status is named as it reads, in the language's quotation marks.
        inform(ui.window,
               filled(tr(L"Rétablissement demandé. Cliquez sur %s pour connaître l’état\u00A0; la reconnexion peut "
                         L"prendre quelques secondes.",
                         L"Recovery requested. Click %s for the status; reconnection can take a few seconds.",
                         L"Wiederherstellung angefordert. Klicken Sie auf %s, um den Status zu sehen; die Neuverbindung "
                         L"kann einige Sekunden dauern.",
                         L"已请求恢复。点击%s查看状态；重新连接可能需要几秒钟。",
                         L"Recuperación solicitada. Haga clic en %s para ver el estado; la reconexión puede tardar "
                         L"unos segundos.",
                         L"Ripristino richiesto. Fai clic su %s per vedere lo stato; la riconnessione può richiedere "
                         L"alcuni secondi."),
                      quoted(checkConfigurationText())));
    } else {
        warn(ui.window,
             tr(L"La demande de rétablissement a échoué. Réessayez avec les droits d’administrateur ou redémarrez "
                L"Windows.",
                L"Recovery request failed. Retry with administrator rights or restart Windows.",
                L"Die Wiederherstellungsanforderung ist fehlgeschlagen. Versuchen Sie es mit Administratorrechten "
                L"erneut oder starten Sie Windows neu.",
                L"恢复请求失败。请使用管理员权限重试或重新启动 Windows。",
                L"La solicitud de recuperación ha fallado. Vuelva a intentarlo con derechos de administrador o reinicie "
                L"Windows.",
                L"Richiesta di ripristino non riuscita. Riprova con i diritti di amministratore o riavvia Windows."));
    }
}

void downloadUpdate(Ui& ui) {
    if (!ui.updateInfo.available || ui.downloading || readPolicies().updateCheckDisabled) return;
    const std::wstring question =
        tr(L"Télécharger, vérifier et installer cette mise à jour\u00A0? Windows demandera l’autorisation "
           L"d’administrateur.",
           L"Download, verify and install this update? Windows will request administrator permission.",
           L"Dieses Update herunterladen, prüfen und installieren? Windows fragt nach Administratorberechtigung.",
           L"下载、验证并安装此更新吗？Windows 将请求管理员权限。",
           L"¿Descargar, verificar e instalar esta actualización? Windows pedirá permiso de administrador.",
           L"Scaricare, verificare e installare questo aggiornamento? Windows chiederà l’autorizzazione di "
           L"amministratore.");
    // The version the user agrees to: a check result that arrives while the question is open may
    // change ui.updateInfo.
    const std::wstring version = ui.updateInfo.version;
    if (MessageBoxW(ui.window, question.c_str(), Product, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return;
    ui.downloading = true;
    ui.layout();
    try {
        beginUpdateDownload(ui.window, DownloadDone, version);
    } catch (...) {
        ui.downloading = false;
        ui.layout();
        throw;
    }
}

// Starts a background request whose button stays disabled until its result arrives.
template <typename Start>
void startRequest(HWND button, bool& running, Start start) {
    running = true;
    EnableWindow(button, FALSE);
    try {
        start();
    } catch (...) {
        running = false;
        EnableWindow(button, TRUE);
        throw;
    }
}

void command(Ui& ui, int id, int code, HWND control) {
    if (ui.busy() && busyControl(id)) return;  // also when queued before the busy state began
    switch (id) {
    case EnableButton:
        enable(ui);
        break;
    case CustomizeButton:
        showPage(ui.window, 1);
        ui.layout();
        break;
    case DisableButton:
        ui.startSaverAction(SaverAction::Disable);
        break;
    case WindowsSettingsButton:
        if (reinterpret_cast<INT_PTR>(ShellExecuteW(ui.window, L"open", L"control.exe", L"desk.cpl,,@screensaver",
                                                    nullptr, SW_SHOWNORMAL)) <= 32) {
            throw std::runtime_error("Cannot open the Windows screen saver settings.");
        }
        break;
    case AboutButton:
        if (ui.page == 3) {
            if (reinterpret_cast<INT_PTR>(ShellExecuteW(ui.window, L"open", DownloadPage, nullptr, nullptr,
                                                        SW_SHOWNORMAL)) <= 32) {
                throw std::runtime_error("Cannot open the web site.");
            }
        } else {
            showPage(ui.window, 3);
        }
        break;
    case LanguageBox:
        // A choice counts when it is made, not while the arrow keys pass over the rows: each change
        // rebuilds the whole window.
        if (code == CBN_SELENDOK || code == CBN_CLOSEUP || code == CBN_KILLFOCUS) {
            const LRESULT selection = SendMessageW(control, CB_GETCURSEL, 0, 0);
            if (selection < 0 || selection >= LanguageCount ||
                static_cast<unsigned long>(selection) == settings.language) {
                break;
            }
            settings.language = static_cast<unsigned long>(selection);
            settings.languageChosen = true;
            settings.save();
            // Not now: the relayout destroys the combo box that is still inside its notification.
            PostMessageW(ui.window, RelayoutMessage, 0, 0);
        }
        break;
    case SaveButton:
        save(ui);
        break;
    case IDCANCEL:  // Esc, from the dialog navigation: Cancel on the secondary pages
        if (ui.page != 0) PostMessageW(ui.window, WM_CLOSE, 0, 0);
        break;
    case CancelButton:
        PostMessageW(ui.window, WM_CLOSE, 0, 0);
        break;
    case ContinueButton:
        settings.firewall = IsDlgButtonChecked(ui.window, FirewallRadio) == BST_CHECKED;
        ui.dialogResult = 1;
        dismiss(ui);
        break;
    case AdaptersRadio:
    case FirewallRadio:
        if (code == BN_CLICKED) settings.firewall = id == FirewallRadio;
        break;
    case ColorButton:
        chooseStarColor(ui);
        break;
    case ResetButton:
        settings.color = RGB(200, 228, 255);
        settings.density = 260;
        settings.speed = 5;
        ui.layout();
        break;
    case NetworkModeButton:
        chooseNetworkMode(ui);
        break;
    case ConfigurationButton:
        inform(ui.window, configurationReport());
        break;
    case RestoreButton:
        restoreNetwork(ui);
        break;
    case IdleField:
        if (code == EN_CHANGE && !ui.inLayout) {
            ui.idleMinutes = idleFieldValue(control);
            ui.idleEdited = true;
        }
        break;
    case DisplaysBox:
        if (code == CBN_SELCHANGE) {
            const LRESULT selection = SendMessageW(control, CB_GETCURSEL, 0, 0);
            if (selection >= 0 && selection <= 2) settings.displays = static_cast<unsigned long>(selection);
        }
        break;
    case UpdateButton:
        downloadUpdate(ui);
        break;
    case CheckUpdatesButton:
        if (!ui.checking && !readPolicies().updateCheckDisabled) {
            startRequest(control, ui.checking, [&ui] { beginUpdateCheck(ui.window, RequestedCheckDone, true); });
        }
        break;
    case SupportButton:
        if (!ui.liking && !likedCurrentVersion() && !readPolicies().supportCounterDisabled) {
            startRequest(control, ui.liking, [&ui] { beginLike(ui.window, SupportDone); });
        }
        break;
    default:
        break;
    }
    // A close that arrived while a modal page or an elevated copy had the window disabled.
    if (ui.window != nullptr && ui.closeRequested && !ui.operation) {
        ui.closeRequested = false;
        PostMessageW(ui.window, WM_CLOSE, 0, 0);
    }
}

void operationTick(Ui& ui) {
    if (!ui.operation || !ui.operation->finished) return;
    const std::shared_ptr<SaverOperation> done = std::move(ui.operation);
    ui.operation.reset();
    KillTimer(ui.window, OperationTimer);
    ui.layout();
    const std::string error = done->error();
    if (!error.empty()) {
        MessageBoxA(ui.window, error.c_str(), "Calmlane", MB_OK | MB_ICONERROR);
    } else if (done->action != SaverAction::Enable && !ui.closeRequested) {
        inform(ui.window,
               tr(L"Calmlane n’est plus sélectionné comme économiseur d’écran. L’application reste installée. Fermez et "
                  L"rouvrez les paramètres de l’économiseur d’écran Windows ouverts pour actualiser l’affichage.",
                  L"Calmlane is no longer selected as the screen saver. The app remains installed. Close and reopen "
                  L"any open Windows screen saver settings to refresh the display.",
                  L"Calmlane ist nicht mehr als Bildschirmschoner ausgewählt. Die App bleibt installiert. Schließen Sie "
                  L"geöffnete Bildschirmschoner-Einstellungen von Windows und öffnen Sie sie erneut, um die Anzeige zu "
                  L"aktualisieren.",
                  L"Calmlane 已不再被选为屏幕保护程序。应用仍已安装。请关闭并重新打开已打开的 Windows "
                  L"屏幕保护程序设置以刷新显示。",
                  L"Calmlane ya no está seleccionado como protector de pantalla. La aplicación sigue instalada. Cierre "
                  L"y vuelva a abrir la configuración del protector de pantalla de Windows que tenga abierta para "
                  L"actualizar la vista.",
                  L"Calmlane non è più selezionato come screen saver. L’app resta installata. Chiudi e riapri le "
                  L"impostazioni dello screen saver di Windows eventualmente aperte per aggiornare la visualizzazione."));
    }
    if (ui.closeRequested) DestroyWindow(ui.window);
}

// A background result changes the page but never the window's place or size: the user may have moved,
// sized or maximised it since it was fitted to its content.
void afterBackgroundResult(Ui& ui) {
    if (ui.page == 0) ui.layout();
}

// Settings, colours or the screen saver may have changed elsewhere (the Windows dialog, the tray, an
// elevated copy): rebuild when the status card or the contrast mode no longer matches.
void refresh(Ui& ui) {
    const bool statusChanged = ui.page == 0 && (serviceInstalled() != ui.installed ||
                                                windowText(GetDlgItem(ui.window, StatusCard)) != statusCardText(ui));
    if (statusChanged || accessibility::highContrast() != ui.highContrast) ui.layout();
}

void updateChecked(Ui& ui, UINT message, std::unique_ptr<UpdateInfo> result) {
    // A check that got no answer keeps what was known: it must not hide an update found earlier.
    if (result->answered) ui.updateInfo = *result;
    if (message == RequestedCheckDone) ui.checking = false;
    afterBackgroundResult(ui);
    if (message != RequestedCheckDone) return;
    if (!result->answered) {
        warn(ui.window, tr(L"Impossible de rechercher des mises à jour. Vérifiez votre connexion Internet et réessayez.",
                           L"Unable to check for updates. Check your Internet connection and try again.",
                           L"Es kann nicht nach Updates gesucht werden. Prüfen Sie Ihre Internetverbindung und "
                           L"versuchen Sie es erneut.",
                           L"无法检查更新。请检查您的互联网连接后重试。",
                           L"No se pueden buscar actualizaciones. Compruebe su conexión a Internet y vuelva a intentarlo.",
                           L"Impossibile controllare gli aggiornamenti. Verifica la connessione a Internet e riprova."));
    } else if (result->available) {
        inform(ui.window, updateLine(result->version));
    } else {
        inform(ui.window, tr(L"Vous utilisez déjà la dernière version de Calmlane.",
                             L"You are already using the latest version of Calmlane.",
                             L"Sie verwenden bereits die neueste Version von Calmlane.", L"您已在使用最新版本的 Calmlane。",
                             L"Ya está usando la versión más reciente de Calmlane.",
                             L"Stai già usando la versione più recente di Calmlane."));
    }
}

void supportRecorded(Ui& ui, std::unique_ptr<LikeResult> result) {
    ui.liking = false;
    afterBackgroundResult(ui);
    if (result->ok) {
        inform(ui.window, tr(L"Merci\u00A0! Votre soutien a été enregistré pour cette version.",
                             L"Thank you! Your support has been recorded for this version.",
                             L"Danke! Ihre Unterstützung wurde für diese Version erfasst.", L"谢谢！您对此版本的支持已记录。",
                             L"¡Gracias! Su apoyo se ha registrado para esta versión.",
                             L"Grazie! Il tuo sostegno è stato registrato per questa versione."));
    } else {
        warn(ui.window, tr(L"Impossible d’enregistrer votre soutien. Vérifiez votre connexion Internet et réessayez.",
                           L"Unable to record your support. Check your Internet connection and try again.",
                           L"Ihre Unterstützung konnte nicht erfasst werden. Prüfen Sie Ihre Internetverbindung und "
                           L"versuchen Sie es erneut.",
                           L"无法记录您的支持。请检查您的互联网连接后重试。",
                           L"No se pudo registrar su apoyo. Compruebe su conexión a Internet y vuelva a intentarlo.",
                           L"Impossibile registrare il tuo sostegno. Verifica la connessione a Internet e riprova."));
    }
}

void downloaded(Ui& ui, std::unique_ptr<UpdateDownloadResult> result) {
    ui.downloading = false;
    if (result->ok) {
        if (launchDownloadedUpdate(ui.window, result->path)) {
            DestroyWindow(ui.window);  // the installer replaces this program
            return;
        }
        DeleteFileW(result->path.c_str());  // gone already or locked: the next start cleans the folder up
        afterBackgroundResult(ui);
        inform(ui.window, tr(L"L’installation n’a pas été lancée. Réessayez et acceptez la demande d’autorisation de "
                             L"Windows.",
                             L"Installation was not started. Try again and accept the Windows permission prompt.",
                             L"Die Installation wurde nicht gestartet. Versuchen Sie es erneut und bestätigen Sie die "
                             L"Berechtigungsabfrage von Windows.",
                             L"安装未启动。请重试并接受 Windows 权限提示。",
                             L"La instalación no se inició. Vuelva a intentarlo y acepte la solicitud de permiso de "
                             L"Windows.",
                             L"L’installazione non è stata avviata. Riprova e accetta la richiesta di autorizzazione di "
                             L"Windows."));
        return;
    }
    afterBackgroundResult(ui);
    warn(ui.window, tr(L"Le téléchargement ou la vérification du programme d’installation a échoué. Aucun programme n’a "
                       L"été lancé.",
                       L"The installer download or verification failed. No program was started.",
                       L"Download oder Prüfung des Installationsprogramms ist fehlgeschlagen. Es wurde kein Programm "
                       L"gestartet.",
                       L"安装程序下载或验证失败。未启动任何程序。",
                       L"La descarga o la verificación del instalador ha fallado. No se inició ningún programa.",
                       L"Download o verifica del programma di installazione non riusciti. Nessun programma è stato "
                       L"avviato."));
}

void close(Ui& ui) {
    // While an operation runs the window closes when it ends; while disabled (a modal page or an elevated
    // copy is running inside a command), when that command returns.
    if (ui.operation || !IsWindowEnabled(ui.window)) {
        ui.closeRequested = true;
        return;
    }
    if (ui.page == 1) {
        settings = ui.snapshot;  // Cancel undoes the live edits
        try {
            settings.save();
        } catch (const std::exception& error) {
            MessageBoxA(ui.window, error.what(), "Calmlane", MB_OK | MB_ICONERROR);
        }
    }
    dismiss(ui);
}

LRESULT handle(Ui& ui, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = ui.window;
    switch (message) {
    case WM_COMMAND:
        command(ui, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return 0;
    case WM_HSCROLL: {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        const LRESULT position = SendMessageW(reinterpret_cast<HWND>(lParam), TBM_GETPOS, 0, 0);
        if (id == DensityBar) settings.density = static_cast<long>(position);
        if (id == SpeedBar) settings.speed = static_cast<long>(position);
        return 0;
    }
    case WM_TIMER:
        if (wParam == OperationTimer) {
            operationTick(ui);
        } else if (wParam == SnapshotTimer) {
            KillTimer(window, SnapshotTimer);
            if (!snapshotPath.empty()) {
                snapshotFailed = !capture(window, snapshotPath);
                DestroyWindow(window);
            }
        }
        return 0;
    case WM_CLOSE:
        close(ui);
        return 0;
    case WM_DESTROY:
        KillTimer(window, OperationTimer);
        freePosted(window);  // results still queued go with the window's messages
        if (GetWindow(window, GW_OWNER) == nullptr) PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        ui.window = nullptr;
        ui.controls.clear();
        ui.controlRects.clear();
        break;
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED) ui.layout();
        return 0;
    case WM_DPICHANGED: {
        ui.scale = HIWORD(wParam) / 96.0f;
        ui.createFonts();
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        ui.layout();  // also when the suggested size equals the old one
        return 0;
    }
    case WM_GETMINMAXINFO: {
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMinTrackSize = POINT{ui.px(450), ui.px(350)};
        return 0;
    }
    case WM_VSCROLL:
        onVerticalScroll(ui, LOWORD(wParam));
        return 0;
    case WM_MOUSEWHEEL:
        scrollTo(ui, ui.scroll - GET_WHEEL_DELTA_WPARAM(wParam) * 60 / WHEEL_DELTA);
        return 0;
    case WM_ERASEBKGND: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        RECT client = {};
        GetClientRect(window, &client);
        SetDCBrushColor(dc, themed(ui, palette::Background, COLOR_WINDOW));
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
        return 1;
    }
    case WM_PAINT: {
        const PaintScope paint(window);
        if (paint.get() != nullptr) paintUi(ui, paint.get());
        return 0;
    }
    case WM_PRINTCLIENT:
        paintUi(ui, reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const StaticColors colors = staticColors(ui, reinterpret_cast<HWND>(lParam));
        SetTextColor(dc, colors.text);
        SetBkColor(dc, colors.back);
        SetDCBrushColor(dc, colors.back);
        return reinterpret_cast<LRESULT>(GetStockObject(DC_BRUSH));
    }
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlType == ODT_COMBOBOX) {
            drawLanguageRow(ui, *item);
        } else if (item->CtlType == ODT_BUTTON) {
            drawButton(ui, *item);
        }
        return TRUE;
    }
    case WM_MEASUREITEM: {
        auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        if (item->CtlID == LanguageBox) item->itemHeight = static_cast<UINT>(ui.px(32));
        return TRUE;
    }
    case RelayoutMessage:
        ui.layout();
        return 0;
    case DM_GETDEFID:
        return defaultButton(ui);
    case FocusedMessage:
        ui.focusId = static_cast<int>(wParam);
        // A rebuild keeps the user's scroll position; a click keeps the control under the pointer, or
        // the button would miss its own release.
        if (!ui.inLayout && GetKeyState(VK_LBUTTON) >= 0) scrollIntoView(ui, ui.focusId);
        return 0;
    case WM_KEYDOWN: {
        const WORD requests[] = {SB_PAGEUP, SB_PAGEDOWN, SB_BOTTOM, SB_TOP};  // VK_PRIOR .. VK_HOME
        if (wParam >= VK_PRIOR && wParam <= VK_HOME) {
            onVerticalScroll(ui, requests[wParam - VK_PRIOR]);
            return 0;
        }
        break;
    }
    case WM_ACTIVATE:
        if (LOWORD(wParam) != WA_INACTIVE && HIWORD(wParam) == 0) {
            refresh(ui);
            ui.restoreFocus();  // a dialog's way: the control that had the focus gets it back
            if (GetFocus() == nullptr) SetFocus(window);  // the page keys still arrive
            return 0;
        }
        break;
    case WM_SETTINGCHANGE:
        // Group Policy was applied: rebuild with what the policies now set.
        if (lParam != 0 && lstrcmpiW(reinterpret_cast<const wchar_t*>(lParam), L"Policy") == 0) {
            ui.layout();
        } else {
            refresh(ui);
        }
        break;
    case WM_SYSCOLORCHANGE:
        // Common controls take the new colours only when told (track bars among them).
        for (HWND control : ui.controls) SendMessageW(control, WM_SYSCOLORCHANGE, 0, 0);
        refresh(ui);
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
        break;
    // Results of this window's own workers only: any other process of the user could post these numbers.
    case AutomaticCheckDone:
    case RequestedCheckDone:
        if (auto result = takePosted<UpdateInfo>(window, message, lParam)) {
            updateChecked(ui, message, std::move(result));
        }
        return 0;
    case SupportDone:
        if (auto result = takePosted<LikeResult>(window, message, lParam)) supportRecorded(ui, std::move(result));
        return 0;
    case DownloadDone:
        if (auto result = takePosted<UpdateDownloadResult>(window, message, lParam)) {
            downloaded(ui, std::move(result));
        }
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void Ui::startSaverAction(SaverAction action) {
    if (busy() || window == nullptr) return;
    operation = beginTrackedSaverOperation(window, OperationTimer, action);
    layout();
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* ui = static_cast<Ui*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(ui));
        ui->window = window;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    Ui* ui = uiOf(window);
    if (ui == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_CREATE) {
        try {
            ui->scale = GetDpiForWindow(window) / 96.0f;
            ui->createFonts();
            ui->idleMinutes = initialIdleMinutes();
            return 0;
        } catch (...) {
            return -1;  // CreateWindowExW fails, and createUi reports it
        }
    }
    try {
        return handle(*ui, message, wParam, lParam);
    } catch (const std::exception& error) {
        // The action failed; the window stays as it was and usable.
        MessageBoxA(window, error.what(), "Calmlane", MB_OK | MB_ICONERROR);
        return 0;
    } catch (...) {
        MessageBoxA(window, "Unexpected error.", "Calmlane", MB_OK | MB_ICONERROR);
        return 0;
    }
}

HWND createUi(Ui& ui, HWND owner) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    if (!InitCommonControlsEx(&controls) || !registerUiClass()) return nullptr;
    MONITORINFO monitor = {sizeof(monitor), {}, {}, 0};
    if (!GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY), &monitor)) return nullptr;
    const double systemScale = GetDpiForSystem() / 96.0;
    const RECT rect = initialWindowRect(ui.page, systemScale, monitor.rcWork);
    const std::wstring title = ui.page == 1   ? text("dialog.title")
                               : ui.page == 2 ? text("setup.networkModeTitle")
                               : ui.page == 3 ? text("about.title")
                                              : std::wstring(Product);
    HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, UiClass, title.c_str(),
                                  WS_OVERLAPPEDWINDOW | WS_VSCROLL | WS_CLIPCHILDREN, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, owner, nullptr, instance, &ui);
    if (window == nullptr) return nullptr;
    // As dialogs do: the focus mark shows once the keyboard is used, unless the last input was.
    SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_INITIALIZE, 0), 0);
    try {
        // The window took the DPI of the monitor it opens on (WM_CREATE): size it for that one.
        if (ui.scale != static_cast<float>(systemScale)) {
            const RECT sized = initialWindowRect(ui.page, ui.scale, monitor.rcWork);
            SetWindowPos(window, nullptr, sized.left, sized.top, sized.right - sized.left, sized.bottom - sized.top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
        }
        ui.layout();
        ui.fitHeight();
    } catch (const std::exception&) {
        DestroyWindow(window);
        return nullptr;
    }
    if (ui.page == 0 && snapshotUpdateVersion.empty()) {
        try {
            beginUpdateCheck(window, AutomaticCheckDone, false);
        } catch (const std::exception&) {
            // No thread for the silent check: the button still offers one.
        }
    }
    return window;
}

int showPage(HWND owner, int page) {
    Ui ui;
    prepare(ui, page);
    // Windows' dialog keeps its own idle delay and writes it back on OK: the page must not compete.
    ui.windowsDialog = owner != nullptr && owner == settingsDialog;
    HWND window = createUi(ui, owner);
    if (window == nullptr) return -1;
    if (owner != nullptr) EnableWindow(owner, FALSE);
    ShowWindow(window, SW_SHOW);
    bool quit = false;
    WPARAM quitCode = 0;
    MSG message;
    while (IsWindow(window)) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            quit = true;
            quitCode = message.wParam;
            break;
        }
        if (got < 0) break;
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (owner != nullptr) {
        EnableWindow(owner, TRUE);
        SetForegroundWindow(owner);
    }
    if (IsWindow(window)) {
        // The loop ended early: the page goes now, before its Ui, as a Cancel would close it.
        SendMessageW(window, WM_CLOSE, 0, 0);
        if (IsWindow(window)) DestroyWindow(window);
    }
    if (quit) PostQuitMessage(static_cast<int>(quitCode));  // the quit belongs to the outer loop
    return ui.dialogResult;
}

int runWindow() {
    repairSelectedSaverPath();
    if (!quitAfterTest && serviceRunning()) {
        // The tray companion is a convenience: the window works without it.
        const std::wstring self = modulePath();
        ShellExecuteW(nullptr, L"open", self.c_str(), L"--tray", nullptr, SW_HIDE);
    }
    if (requestedPage == 1 && settingsDialog != nullptr) {
        // The "Settings…" button of Windows' screen saver dialog: the page is owned by and modal to it.
        if (showPage(settingsDialog, 1) >= 0) return 0;
        settingsDialog = nullptr;  // no page could be made for that owner: open it on its own
    }
    Ui ui;
    prepare(ui, requestedPage);
    if (createUi(ui, nullptr) == nullptr) return 1;
    ShowWindow(ui.window, SW_SHOW);
    if (quitAfterTest) {
        ShowWindow(ui.window, SW_SHOWNOACTIVATE);
        UpdateWindow(ui.window);
        if (!SetTimer(ui.window, SnapshotTimer, 1000, nullptr)) {
            DestroyWindow(ui.window);  // no capture can come: end rather than wait for ever
            return 1;
        }
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (ui.window == nullptr || !IsDialogMessageW(ui.window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return snapshotFailed ? 1 : 0;  // the self-test fails when its picture could not be written
}

}  // namespace calmlane
