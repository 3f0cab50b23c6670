#include "tray/tray_model.h"

#include <windows.h>
#include <shellapi.h>

#include "app/localization.h"

namespace calmlane {

// tray_model.h spells the shell's callback messages without <windows.h>.
static_assert(tray_messages::ContextMenu == WM_CONTEXTMENU && tray_messages::RightButtonUp == WM_RBUTTONUP &&
              tray_messages::LeftButtonDoubleClick == WM_LBUTTONDBLCLK && tray_messages::Select == NIN_SELECT &&
              tray_messages::KeySelect == NIN_KEYSELECT && tray_messages::BalloonUserClick == NIN_BALLOONUSERCLICK);

std::wstring trayTooltip(bool selected, bool updateAvailable, const std::wstring& operationLabel) {
    if (!operationLabel.empty()) return operationLabel;
    std::wstring tip = selected ? tr(L"Calmlane — économiseur d’écran sélectionné", L"Calmlane — selected screen saver",
                                     L"Calmlane — ausgewählter Bildschirmschoner", L"Calmlane — 已选为屏幕保护程序",
                                     L"Calmlane — protector de pantalla seleccionado",
                                     L"Calmlane — screen saver selezionato")
                                : tr(L"Calmlane — économiseur d’écran non sélectionné",
                                     L"Calmlane — screen saver not selected",
                                     L"Calmlane — Bildschirmschoner nicht ausgewählt", L"Calmlane — 未选为屏幕保护程序",
                                     L"Calmlane — protector de pantalla no seleccionado",
                                     L"Calmlane — screen saver non selezionato");
    if (updateAvailable) {
        tip += tr(L" — mise à jour disponible", L" — update available", L" — Update verfügbar", L" — 有可用更新",
                  L" — actualización disponible", L" — aggiornamento disponibile");
    }
    return tip;
}

std::vector<MenuEntry> trayMenu(bool selected, const std::wstring& operationLabel) {
    const bool idle = operationLabel.empty();
    std::vector<MenuEntry> menu = {
        {OpenCommand,
         tr(L"Ouvrir Calmlane", L"Open Calmlane", L"Calmlane öffnen", L"打开 Calmlane", L"Abrir Calmlane",
            L"Apri Calmlane"),
         true},
        {0, L"", false},
        {EnableCommand,
         tr(L"Activer l’économiseur d’écran", L"Enable the screen saver", L"Bildschirmschoner aktivieren",
            L"启用屏幕保护程序", L"Activar el protector de pantalla", L"Attiva lo screen saver"),
         idle && !selected},
        {DisableCommand,
         tr(L"Désactiver l’économiseur d’écran", L"Disable the screen saver", L"Bildschirmschoner deaktivieren",
            L"停用屏幕保护程序", L"Desactivar el protector de pantalla", L"Disattiva lo screen saver"),
         idle && selected},
        {0, L"", false},
        {CustomizeCommand, text("setup.customize"), idle},
        {StatusCommand,
         tr(L"État du réseau", L"Network status", L"Netzwerkstatus", L"网络状态", L"Estado de la red",
            L"Stato della rete"),
         idle},
    };
    if (!idle) {
        menu.push_back({0, L"", false});
        menu.push_back({OperationItem, operationLabel, false});
    }
    return menu;
}

std::wstring quotedRestoreButton() { return quoted(restoreNetworkText()); }

std::wstring recoveryBalloonText() {
    return tr(L"La récupération du réseau demande votre attention. Ouvrez Calmlane et utilisez ",
              L"Network recovery needs attention. Open Calmlane and use ",
              L"Die Netzwerkwiederherstellung erfordert Aufmerksamkeit. Öffnen Sie Calmlane und verwenden Sie bei "
              L"Bedarf ",
              L"网络恢复需要注意。请打开 Calmlane，必要时使用", L"La recuperación de la red requiere atención. Abra Calmlane y use ",
              L"Il ripristino della rete richiede attenzione. Apri Calmlane e usa ") +
           quotedRestoreButton() +
           tr(L" si nécessaire.", L" if needed.", L".", L"。", L" si es necesario.", L" se necessario.");
}

std::wstring updateBalloonText(const std::wstring& version) {
    return tr(L"Une nouvelle version est disponible\u00A0: ", L"A new version is available: ",
              L"Eine neue Version ist verfügbar: ", L"有新版本可用：", L"Hay una nueva versión disponible: ",
              L"È disponibile una nuova versione: ") +
           version +
           tr(L". Cliquez pour ouvrir la page de téléchargement.", L". Click to open the download page.",
              L". Klicken Sie, um die Download-Seite zu öffnen.", L"。点击打开下载页面。",
              L". Haga clic para abrir la página de descarga.", L". Fai clic per aprire la pagina di download.");
}

std::wstring actionFailureText(bool enabling) {
    if (enabling) {
        return tr(L"L’économiseur d’écran n’a pas pu être activé. Ouvrez Calmlane pour vérifier la configuration.",
                  L"The screen saver could not be enabled. Open Calmlane to check the configuration.",
                  L"Der Bildschirmschoner konnte nicht aktiviert werden. Öffnen Sie Calmlane, um die Konfiguration "
                  L"zu prüfen.",
                  L"无法启用屏幕保护程序。请打开 Calmlane 检查配置。",
                  L"No se pudo activar el protector de pantalla. Abra Calmlane para comprobar la configuración.",
                  L"Impossibile attivare lo screen saver. Apri Calmlane per controllare la configurazione.");
    }
    return tr(L"L’économiseur d’écran n’a pas pu être désactivé. Ouvrez Calmlane pour vérifier la configuration.",
              L"The screen saver could not be disabled. Open Calmlane to check the configuration.",
              L"Der Bildschirmschoner konnte nicht deaktiviert werden. Öffnen Sie Calmlane, um die Konfiguration "
              L"zu prüfen.",
              L"无法停用屏幕保护程序。请打开 Calmlane 检查配置。",
              L"No se pudo desactivar el protector de pantalla. Abra Calmlane para comprobar la configuración.",
              L"Impossibile disattivare lo screen saver. Apri Calmlane per controllare la configurazione.");
}

std::wstring startFailureText() {
    return tr(L"Impossible de démarrer Calmlane.", L"Cannot start Calmlane.", L"Calmlane kann nicht gestartet werden.",
              L"无法启动 Calmlane。", L"No se puede iniciar Calmlane.", L"Impossibile avviare Calmlane.");
}

}  // namespace calmlane
