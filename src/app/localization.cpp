#include "app/localization.h"

#include <cstring>

#include "app/globals.h"

namespace calmlane {

const std::array<const wchar_t*, LanguageCount> languageNames = {
    L"Français", L"English", L"Deutsch", L"中文", L"Español", L"Italiano",
};

std::wstring filled(std::wstring text, const std::wstring& value) {
    const std::size_t at = text.find(L"%s");
    if (at != std::wstring::npos) text.replace(at, 2, value);
    return text;
}

// Columns: key, then French, English, German, Chinese, Spanish, Italian.
const Translation translations[] = {
    {"language.caption", {L"Langue", L"Language", L"Sprache", L"语言", L"Idioma", L"Lingua"}},
    {"setup.subtitle",
     {L"Un économiseur d’écran qui coupe votre connexion Internet dès qu’il s’active.\r\n"
      L"Ne laissez pas votre ordinateur accessible depuis Internet\u00A0!",
      L"A screen saver that cuts your Internet connection when it activates.\r\n"
      L"Do not leave your computer accessible from the Internet!",
      L"Ein Bildschirmschoner, der Ihre Internetverbindung trennt, sobald er startet.\r\n"
      L"Lassen Sie Ihren Computer nicht aus dem Internet erreichbar!",
      L"一款启动时即切断互联网连接的屏幕保护程序。\r\n"
      L"不要让您的电脑暴露在互联网上！",
      L"Un protector de pantalla que corta su conexión a Internet en cuanto se activa.\r\n"
      L"¡No deje su equipo accesible desde Internet!",
      L"Uno screen saver che interrompe la connessione a Internet quando si attiva.\r\n"
      L"Non lasciare il computer accessibile da Internet!"}},
    {"setup.networkModeTitle",
     {L"Mode de coupure du réseau", L"Network interruption mode", L"Art der Netzwerkunterbrechung", L"网络中断方式",
      L"Modo de interrupción de la red", L"Modalità di interruzione della rete"}},
    {"setup.networkModeAdapters",
     {L"Désactiver les cartes réseau", L"Disable network adapters", L"Netzwerkadapter deaktivieren", L"禁用网络适配器",
      L"Desactivar los adaptadores de red", L"Disattiva le schede di rete"}},
    {"setup.networkModeAdaptersHint",
     {L"Coupe le Wi\u2011Fi, l’Ethernet et le haut débit mobile. Windows doit se reconnecter à votre retour\u00A0: comptez 5 à 20 secondes.",
      L"Turns off Wi\u2011Fi, Ethernet and mobile broadband. Windows must reconnect when you return: 5 to 20 seconds are required.",
      L"Schaltet WLAN, Ethernet und mobiles Breitband ab. Windows muss sich nach Ihrer Rückkehr neu verbinden: Das dauert 5 bis "
      L"20 Sekunden.",
      L"关闭 Wi\u2011Fi、以太网和移动宽带。您回来后 Windows 需要重新连接，约需 5 到 20 秒。",
      L"Apaga el Wi\u2011Fi, Ethernet y la banda ancha móvil. Windows debe volver a conectarse a su regreso: se necesitan de 5 a 20 "
      L"segundos.",
      L"Spegne Wi\u2011Fi, Ethernet e banda larga mobile. Al tuo ritorno Windows deve riconnettersi: servono da 5 a 20 secondi."}},
    {"setup.networkModeFirewall",
     {L"Bloquer avec le Pare-feu Windows", L"Block with Windows Firewall", L"Mit der Windows-Firewall blockieren",
      L"使用 Windows 防火墙阻断网络", L"Bloquear con el Firewall de Windows", L"Blocca con Windows Firewall"}},
    {"setup.networkModeFirewallHint",
     {L"Garde les cartes connectées, mais bloque tout le trafic vers Internet et sur le réseau local. L’accès est "
      L"généralement rétabli immédiatement.",
      L"Keeps adapters connected, but blocks all Internet and local-network traffic. Access usually returns "
      L"immediately.",
      L"Die Adapter bleiben verbunden, aber der gesamte Datenverkehr ins Internet und im lokalen Netzwerk wird "
      L"blockiert. Der Zugriff ist meist sofort wiederhergestellt.",
      L"适配器保持连接，但会阻止所有互联网和局域网流量。访问通常会立即恢复。",
      L"Mantiene los adaptadores conectados, pero bloquea todo el tráfico de Internet y de la red local. El acceso "
      L"suele restablecerse de inmediato.",
      L"Mantiene le schede connesse, ma blocca tutto il traffico Internet e della rete locale. Di solito l’accesso "
      L"viene ripristinato subito."}},
    {"setup.notInstalled",
     {L"État\u00A0: non installé.", L"Status: not installed.", L"Status: nicht installiert.", L"状态：未安装。",
      L"Estado: no instalado.", L"Stato: non installato."}},
    {"setup.customize",
     {L"Personnaliser l’économiseur d’écran", L"Customize the screen saver", L"Bildschirmschoner anpassen",
      L"自定义屏幕保护程序", L"Personalizar el protector de pantalla", L"Personalizza lo screen saver"}},
    {"setup.windowsSettings",
     {L"Paramètres de l’économiseur d’écran Windows", L"Windows screen saver settings",
      L"Bildschirmschoner-Einstellungen von Windows", L"Windows 屏幕保护程序设置",
      L"Configuración del protector de pantalla de Windows", L"Impostazioni dello screen saver di Windows"}},
    {"saver.networkNotSuspended",
     {L"La connexion n’a pas été coupée. Vérifiez que le service Calmlane est installé et en cours d’exécution.",
      L"The connection was not suspended. Check that the Calmlane service is installed and running.",
      L"Die Verbindung wurde nicht unterbrochen. Prüfen Sie, ob der Calmlane-Dienst installiert ist und läuft.",
      L"网络连接未被切断。请检查 Calmlane 服务是否已安装并正在运行。",
      L"La conexión no se ha cortado. Compruebe que el servicio Calmlane está instalado y en ejecución.",
      L"La connessione non è stata interrotta. Verifica che il servizio Calmlane sia installato e in esecuzione."}},
    {"dialog.title",
     {L"Personnaliser l’économiseur d’écran", L"Customize the screen saver", L"Bildschirmschoner anpassen",
      L"自定义屏幕保护程序", L"Personalizar el protector de pantalla", L"Personalizza lo screen saver"}},
    {"dialog.journey",
     {L"Voyage dans l’espace", L"Journey through space", L"Reise durchs All", L"太空之旅", L"Viaje por el espacio",
      L"Viaggio nello spazio"}},
    {"dialog.saveHint",
     {L"Les paramètres sont enregistrés et utilisés au prochain démarrage de l’économiseur d’écran.",
      L"Settings are saved and used the next time the screen saver starts.",
      L"Die Einstellungen werden gespeichert und beim nächsten Start des Bildschirmschoners verwendet.",
      L"设置将被保存，并在屏幕保护程序下次启动时生效。",
      L"La configuración se guarda y se usará la próxima vez que se inicie el protector de pantalla.",
      L"Le impostazioni vengono salvate e usate al prossimo avvio dello screen saver."}},
    {"dialog.color",
     {L"Couleur des étoiles", L"Star color", L"Sternfarbe", L"星星颜色", L"Color de las estrellas",
      L"Colore delle stelle"}},
    {"dialog.density", {L"Densité", L"Density", L"Dichte", L"密度", L"Densidad", L"Densità"}},
    {"dialog.speed", {L"Vitesse", L"Speed", L"Geschwindigkeit", L"速度", L"Velocidad", L"Velocità"}},
    {"dialog.reset", {L"Réinitialiser", L"Reset", L"Zurücksetzen", L"重置", L"Valores predeterminados", L"Reimposta"}},
    {"common.cancel", {L"Annuler", L"Cancel", L"Abbrechen", L"取消", L"Cancelar", L"Annulla"}},
    {"common.continue", {L"Continuer", L"Continue", L"Weiter", L"继续", L"Continuar", L"Continua"}},
    {"common.save", {L"Enregistrer", L"Save", L"Speichern", L"保存", L"Guardar", L"Salva"}},
    {"common.close", {L"Fermer", L"Close", L"Schließen", L"关闭", L"Cerrar", L"Chiudi"}},
    {"about.title",
     {L"À propos de Calmlane", L"About Calmlane", L"Über Calmlane", L"关于 Calmlane", L"Acerca de Calmlane",
      L"Informazioni su Calmlane"}},
    {"about.button",
     {L"Informations sur l’application", L"App information", L"App-Informationen", L"应用信息",
      L"Información de la aplicación", L"Informazioni sull’app"}},
    // What the organisation's policies set, as the windows, the tray and the report say it.
    {"policy.networkMode",
     {L"Le mode de coupure du réseau est défini par votre organisation.",
      L"The network interruption mode is set by your organisation.",
      L"Die Art der Netzwerkunterbrechung wird von Ihrer Organisation festgelegt.", L"网络中断方式由您的组织设置。",
      L"El modo de interrupción de la red lo establece su organización.",
      L"La modalità di interruzione della rete è impostata dalla tua organizzazione."}},
    {"policy.updates",
     {L"Les mises à jour sont gérées par votre organisation.", L"Updates are managed by your organisation.",
      L"Updates werden von Ihrer Organisation verwaltet.", L"更新由您的组织管理。",
      L"Las actualizaciones las gestiona su organización.",
      L"Gli aggiornamenti sono gestiti dalla tua organizzazione."}},
    {"policy.otherSaver",
     {L"Une stratégie de votre organisation impose un autre économiseur d’écran\u00A0: Calmlane ne peut pas être "
      L"activé.",
      L"A policy of your organisation sets another screen saver: Calmlane cannot be enabled.",
      L"Eine Richtlinie Ihrer Organisation legt einen anderen Bildschirmschoner fest: Calmlane kann nicht aktiviert "
      L"werden.",
      L"您的组织的策略指定了其他屏幕保护程序：无法启用 Calmlane。",
      L"Una directiva de su organización establece otro protector de pantalla: no se puede activar Calmlane.",
      L"Un criterio della tua organizzazione imposta un altro screen saver: Calmlane non può essere attivato."}},
    {"policy.saverOff",
     {L"Une stratégie de votre organisation désactive l’économiseur d’écran\u00A0: Calmlane ne peut pas être activé.",
      L"A policy of your organisation turns the screen saver off: Calmlane cannot be enabled.",
      L"Eine Richtlinie Ihrer Organisation schaltet den Bildschirmschoner ab: Calmlane kann nicht aktiviert werden.",
      L"您的组织的策略关闭了屏幕保护程序：无法启用 Calmlane。",
      L"Una directiva de su organización desactiva el protector de pantalla: no se puede activar Calmlane.",
      L"Un criterio della tua organizzazione disattiva lo screen saver: Calmlane non può essere attivato."}},
    {"policy.idleTime",
     {L"Délai d’inactivité, défini par votre organisation\u00A0: ", L"Idle time, set by your organisation: ",
      L"Leerlaufzeit, von Ihrer Organisation festgelegt: ", L"空闲时间（由您的组织设置）：",
      L"Tiempo de inactividad, establecido por su organización: ",
      L"Tempo di inattività, impostato dalla tua organizzazione: "}},
    {"policy.inForce",
     {L"Stratégies appliquées\u00A0:", L"Policies in force:", L"Geltende Richtlinien:", L"生效的策略：",
      L"Directivas aplicadas:", L"Criteri applicati:"}},
    {"policy.ignored",
     {L"Valeurs de stratégie ignorées (hors plage)\u00A0:", L"Policy values ignored (outside their range):",
      L"Ignorierte Richtlinienwerte (außerhalb des Bereichs):", L"已忽略的策略值（超出范围）：",
      L"Valores de directiva ignorados (fuera de rango):", L"Valori dei criteri ignorati (fuori intervallo):"}},
    {"update.failed",
     {L"La mise à jour de Calmlane n’a pas pu être installée.", L"The Calmlane update could not be installed.",
      L"Das Calmlane-Update konnte nicht installiert werden.", L"无法安装 Calmlane 更新。",
      L"No se pudo instalar la actualización de Calmlane.", L"Impossibile installare l’aggiornamento di Calmlane."}},
    {"update.installed",
     {L"Calmlane a été mis à jour vers la version %s.", L"Calmlane was updated to version %s.",
      L"Calmlane wurde auf Version %s aktualisiert.", L"Calmlane 已更新到版本 %s。",
      L"Calmlane se ha actualizado a la versión %s.", L"Calmlane è stato aggiornato alla versione %s."}},
};
const std::size_t translationCount = sizeof(translations) / sizeof(translations[0]);

namespace {

// The language index, held within the table even if a caller stored something larger.
std::size_t currentLanguage() {
    return settings.language > LanguageCount - 1 ? LanguageCount - 1 : settings.language;
}

}  // namespace

std::wstring tr(const wchar_t* fr, const wchar_t* en, const wchar_t* de, const wchar_t* zh, const wchar_t* es,
                const wchar_t* it) {
    const wchar_t* const choices[LanguageCount] = {fr, en, de, zh, es, it};
    return choices[currentLanguage()];
}

std::wstring quoted(const std::wstring& name) {
    return tr(L"«\u00A0", L"“", L"„", L"“", L"«", L"«") + name + tr(L"\u00A0»", L"”", L"“", L"”", L"»", L"»");
}

std::wstring restoreNetworkText() {
    return tr(L"Rétablir le réseau…", L"Restore network…", L"Netzwerk wiederherstellen…", L"恢复网络…",
              L"Restablecer la red…", L"Ripristina la rete…");
}

std::wstring text(const char* key) {
    const std::size_t keyLength = std::strlen(key);
    for (std::size_t i = 0; i < translationCount; ++i) {
        const char* rowKey = translations[i].key;
        if (std::strlen(rowKey) == keyLength && std::memcmp(rowKey, key, keyLength) == 0) {
            return translations[i].texts[currentLanguage()];
        }
    }
    return {};
}

}  // namespace calmlane
