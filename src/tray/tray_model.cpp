#include "tray/tray_model.h"

#include <cwctype>

#include "app/localization.h"
#include "update/web_services.h"

namespace calmlane {

unsigned long shieldColour(bool attention, bool selected) {
    if (attention) return AttentionColour;
    return selected ? SelectedColour : IdleColour;
}

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

TickOutcome refreshTick(TrayState& state, const TickInput& input) {
    TickOutcome outcome;
    if (!input.serviceRunning && !input.operationRunning) {
        outcome.exit = true;
        return outcome;
    }
    if (input.cachedAvailable != state.updateAvailable) {
        state.updateAvailable = input.cachedAvailable;
        state.blinkPhase = input.cachedAvailable;
        outcome.announceUpdate = input.cachedAvailable;
        outcome.availabilityChanged = true;
    }
    state.blinkPhase = state.updateAvailable && !state.blinkPhase;
    if (input.stateRead) {
        if (input.networkState == 3) {
            outcome.showRecovery = !state.reported;
            state.reported = true;
        } else if (input.networkState == 0 || input.networkState == 1) {
            state.reported = false;
        }
    }
    return outcome;
}

MenuAction menuAction(unsigned command, bool operationRunning, bool modeConfigured) {
    if (operationRunning) return MenuAction::Nothing;
    switch (command) {
    case CustomizeCommand:
        return MenuAction::OpenCustomize;
    case StatusCommand:
        return MenuAction::ShowStatus;
    case EnableCommand:
        return modeConfigured ? MenuAction::Enable : MenuAction::OpenWindow;
    case DisableCommand:
        return MenuAction::Disable;
    default:
        return MenuAction::Nothing;
    }
}

bool isTrustedUpdateUrl(const std::wstring& url) {
    const std::wstring prefix = DownloadPage;
    if (url.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::towlower(url[i]) != std::towlower(prefix[i])) return false;
    }
    return true;
}

}  // namespace calmlane
