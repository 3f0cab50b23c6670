#pragma once
// Short texts for people about the product's state: the selection, the idle delay, the mode and what the
// service says about the network. Lines are separated by "\n" only.
#include <string>

namespace calmlane {

// What the status text is made of, each query's success kept apart from its value.
struct StatusFacts {
    bool selected = false;
    bool activeRead = false;
    bool active = false;
    bool timeoutRead = false;
    unsigned long timeoutSeconds = 0;
    bool serviceRunning = false;
    bool modeChosen = false;  // a mode the service would block with
    bool firewall = true;
    bool stateRead = false;
    unsigned long networkState = 0;
    bool otherSaverForced = false;  // Windows policy: enabling the product cannot work
    bool saverForcedOff = false;
};

// "10 min", "1 min 30 s", "45 s" (" 分钟" and " 秒" in Chinese), in the current language.
std::wstring idleDuration(unsigned long seconds);
std::wstring modeLabel(bool modeChosen, bool firewall);
std::wstring statusText(const StatusFacts& facts);

std::wstring networkModeLabel();
std::wstring networkStatus();
std::wstring configurationReport();
// Why enabling cannot work under the user's screen-saver policies, in the current language; empty when it can.
std::wstring enableBlockedText(bool otherSaverForced, bool saverForcedOff);

}  // namespace calmlane
