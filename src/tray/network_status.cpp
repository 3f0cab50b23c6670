#include "tray/network_status.h"

#include <windows.h>

#include <vector>

#include "app/constants.h"
#include "app/globals.h"
#include "app/localization.h"
#include "app/policy.h"
#include "configuration/saver_selection.h"
#include "protocol/service_clients.h"
#include "tray/tray_model.h"

namespace calmlane {

namespace {

bool chinese() { return settings.language == 3; }

// A DWORD of the product's machine key; false when missing or of another type.
bool machineDword(const wchar_t* name, unsigned long& value) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, RegistryPath, name, RRF_RT_REG_DWORD, nullptr, &data, &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    value = data;
    return true;
}

std::wstring selectionSentence(const StatusFacts& f) {
    if (!f.selected) {
        return tr(L"Calmlane n’est pas sélectionné comme économiseur d’écran.",
                  L"Calmlane is not selected as the screen saver.",
                  L"Calmlane ist nicht als Bildschirmschoner ausgewählt.", L"Calmlane 未被选为屏幕保护程序。",
                  L"Calmlane no está seleccionado como protector de pantalla.",
                  L"Calmlane non è selezionato come screen saver.");
    }
    if (!f.activeRead) {
        return tr(L"Calmlane est sélectionné, mais l’activation n’a pas pu être vérifiée.",
                  L"Calmlane is selected, but activation could not be verified.",
                  L"Calmlane ist ausgewählt, aber die Aktivierung konnte nicht geprüft werden.",
                  L"Calmlane 已被选中，但无法验证是否已启用。",
                  L"Calmlane está seleccionado, pero no se pudo verificar la activación.",
                  L"Calmlane è selezionato, ma non è stato possibile verificarne l’attivazione.");
    }
    if (f.active && (!f.timeoutRead || f.timeoutSeconds != 0)) {
        std::wstring idle = f.timeoutRead
                                ? tr(L"Délai d’inactivité avant activation\u00A0: ", L"Idle time before activation: ",
                                     L"Leerlaufzeit bis zur Aktivierung: ", L"启动前的空闲时间：",
                                     L"Tiempo de inactividad antes de la activación: ",
                                     L"Tempo di inattività prima dell’attivazione: ") +
                                      idleDuration(f.timeoutSeconds)
                                : tr(L"Délai d’inactivité indisponible.", L"Idle timeout unavailable.",
                                     L"Leerlaufzeit nicht verfügbar.", L"无法获取空闲等待时间。",
                                     L"Tiempo de inactividad no disponible.", L"Tempo di inattività non disponibile.");
        return tr(L"Calmlane est configuré et activé comme économiseur d’écran.",
                  L"Calmlane is configured and enabled as the screen saver.",
                  L"Calmlane ist als Bildschirmschoner eingerichtet und aktiviert.",
                  L"Calmlane 已配置并启用为屏幕保护程序。",
                  L"Calmlane está configurado y activado como protector de pantalla.",
                  L"Calmlane è configurato e attivo come screen saver.") +
               L"\n" + idle;
    }
    return tr(L"Calmlane est sélectionné, mais le démarrage automatique de l’économiseur d’écran est désactivé.",
              L"Calmlane is selected, but automatic screen saver activation is disabled.",
              L"Calmlane ist ausgewählt, aber der automatische Start des Bildschirmschoners ist deaktiviert.",
              L"Calmlane 已被选中，但屏幕保护程序的自动启动已关闭。",
              L"Calmlane está seleccionado, pero la activación automática del protector de pantalla está desactivada.",
              L"Calmlane è selezionato, ma l’avvio automatico dello screen saver è disattivato.");
}

std::wstring networkLine(bool read, unsigned long state) {
    if (read && state == static_cast<unsigned long>(NetworkState::Ready)) {
        return tr(L"Prêt — non bloqué", L"Ready — not blocked", L"Bereit — nicht blockiert", L"就绪 — 未阻断",
                  L"Listo — sin bloquear", L"Pronto — non bloccato");
    }
    if (read && state == static_cast<unsigned long>(NetworkState::Blocked)) {
        return tr(L"Bloqué", L"Blocked", L"Blockiert", L"已阻断", L"Bloqueado", L"Bloccato");
    }
    if (read && state == static_cast<unsigned long>(NetworkState::Restoring)) {
        return tr(L"Rétablissement en cours", L"Restoring", L"Wird wiederhergestellt", L"正在恢复", L"Restableciendo",
                  L"Ripristino in corso");
    }
    return tr(L"Erreur — vérifiez l’état", L"Error — check status", L"Fehler — Status prüfen", L"错误 — 请检查状态",
              L"Error — compruebe el estado", L"Errore — controlla lo stato");
}

}  // namespace

std::wstring idleDuration(unsigned long seconds) {
    const wchar_t* minutes = chinese() ? L" 分钟" : L" min";
    const wchar_t* rest = chinese() ? L" 秒" : L" s";
    std::wstring text;
    if (seconds >= 60) text = std::to_wstring(seconds / 60) + minutes;
    if (seconds % 60 != 0) {
        if (!text.empty()) text += L" ";
        text += std::to_wstring(seconds % 60) + rest;
    }
    return text;
}

std::wstring modeLabel(bool chosen, bool firewall) {
    if (chosen) return text(firewall ? "setup.networkModeFirewall" : "setup.networkModeAdapters");
    return tr(L"choisir le mode à la première activation", L"choose mode on first activation",
              L"Modus bei der ersten Aktivierung wählen", L"首次启用时选择方式", L"elegir el modo en la primera activación",
              L"scegli la modalità alla prima attivazione");
}

std::wstring enableBlockedText(bool otherSaverForced, bool saverForcedOff) {
    if (otherSaverForced) return text("policy.otherSaver");
    return saverForcedOff ? text("policy.saverOff") : std::wstring();
}

std::wstring statusText(const StatusFacts& f) {
    std::wstring status = selectionSentence(f);
    const std::wstring blocked = enableBlockedText(f.otherSaverForced, f.saverForcedOff);
    if (!blocked.empty()) status += L"\n" + blocked;
    status += L"\n\n";
    if (!f.serviceRunning) {
        return status + tr(L"Service indisponible — état du réseau inconnu",
                           L"Service unavailable — network state unknown",
                           L"Dienst nicht verfügbar — Netzwerkstatus unbekannt", L"服务不可用 — 网络状态未知",
                           L"Servicio no disponible — estado de la red desconocido",
                           L"Servizio non disponibile — stato della rete sconosciuto");
    }
    return status + modeLabel(f.modeChosen, f.firewall) + L"\n" + networkLine(f.stateRead, f.networkState);
}

// The mode the next pause takes, read now: a policy applied since the settings were loaded counts.
std::wstring networkModeLabel() {
    const BlockMode mode = currentBlockMode();
    return modeLabel(mode != BlockMode::None, mode == BlockMode::Firewall);
}

std::wstring networkStatus() {
    settings.load();
    // What Windows uses: the user's screen-saver policies win over the user's own settings.
    const EffectiveSaver saver = effectiveSaver();
    StatusFacts f;
    f.selected = saver.selected;
    f.activeRead = saver.activeRead;
    f.active = saver.active;
    f.timeoutRead = saver.timeoutRead;
    f.timeoutSeconds = saver.timeoutSeconds;
    f.otherSaverForced = saver.block == SaverBlock::OtherSaver;
    f.saverForcedOff = saver.block == SaverBlock::SaverOff;
    f.serviceRunning = serviceRunning();
    const BlockMode mode = currentBlockMode();
    f.modeChosen = mode != BlockMode::None;
    f.firewall = mode == BlockMode::Firewall;
    f.stateRead = machineDword(L"NetworkState", f.networkState);
    return statusText(f);
}

namespace {

// Every policy the organisation set for the product or the user's screen saver, by its registry name, and
// the product's values that are ignored; empty when there are none.
std::wstring policySection() {
    const Policies policies = readPolicies();
    std::vector<std::wstring> inForce = policies.inForce;
    const SaverPolicy saver = readSaverPolicy();
    const auto flag = [](bool on) { return std::wstring(on ? L"1" : L"0"); };
    if (saver.saverSet) inForce.push_back(L"SCRNSAVE.EXE = " + saver.saver);
    if (saver.activeSet) inForce.push_back(L"ScreenSaveActive = " + flag(saver.active));
    if (saver.secureSet) inForce.push_back(L"ScreenSaverIsSecure = " + flag(saver.secure));
    if (saver.timeoutSet) inForce.push_back(L"ScreenSaveTimeOut = " + std::to_wstring(saver.timeoutSeconds));
    std::wstring section;
    const auto list = [&section](const char* heading, const std::vector<std::wstring>& lines) {
        if (lines.empty()) return;
        section += L"\n\n" + text(heading);
        for (const std::wstring& line : lines) section += L"\n" + line;
    };
    list("policy.inForce", inForce);
    list("policy.ignored", policies.ignored);
    return section;
}

}  // namespace

std::wstring configurationReport() {
    std::wstring report = networkStatus();  // first: it reloads the settings, language included
    bool present = false;
    try {
        present = GetFileAttributesW((installDir() + L"\\Calmlane.scr").c_str()) != INVALID_FILE_ATTRIBUTES;
    } catch (const std::exception&) {
        // No Program Files folder to look in: the file counts as missing.
    }
    const bool running = serviceRunning();
    return report + L"\n\n" +
           tr(L"Fichier de l’économiseur d’écran\u00A0: ", L"Screen saver file: ", L"Bildschirmschoner-Datei: ",
              L"屏幕保护程序文件：", L"Archivo del protector de pantalla: ", L"File dello screen saver: ") +
           (present ? tr(L"présent", L"present", L"vorhanden", L"存在", L"presente", L"presente")
                    : tr(L"manquant — réinstallez", L"missing — reinstall", L"fehlt — neu installieren",
                         L"缺失 — 请重新安装", L"falta — reinstale", L"mancante — reinstalla")) +
           L"\n" +
           tr(L"Service Windows\u00A0: ", L"Windows service: ", L"Windows-Dienst: ", L"Windows 服务：",
              L"Servicio de Windows: ", L"Servizio Windows: ") +
           (running ? tr(L"en cours d’exécution", L"running", L"läuft", L"正在运行", L"en ejecución", L"in esecuzione")
                    : tr(L"arrêté ou absent", L"stopped or missing", L"angehalten oder nicht vorhanden",
                         L"已停止或不存在", L"detenido o ausente", L"arrestato o assente")) +
           policySection() + L"\n\n" +
           tr(L"Vérifications locales uniquement\u00A0: aucun test de coupure du réseau ni de connexion à Internet. "
              L"Si nécessaire, utilisez ",
              L"Local checks only: no network interruption or Internet connectivity test. If needed, use ",
              L"Nur lokale Prüfungen: kein Test der Netzwerkunterbrechung oder der Internetverbindung. Bei Bedarf ",
              L"仅为本地检查：未测试网络中断或互联网连接。如有需要，请在应用中使用",
              L"Solo comprobaciones locales: sin prueba de corte de red ni de conexión a Internet. Si es necesario, "
              L"use ",
              L"Solo controlli locali: nessun test di interruzione della rete o di connessione a Internet. Se "
              L"necessario, usa ") +
           quotedRestoreButton() +
           tr(L" dans l’application.", L" in the app.", L" in der App verwenden.", L"。", L" en la aplicación.",
              L" nell’app.");
}

}  // namespace calmlane
