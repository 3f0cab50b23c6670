#include "tray/tray_model.h"

#include <algorithm>
#include <cwctype>

#include "update/web_services.h"

namespace calmlane {

unsigned long shieldColour(bool attention, bool selected) {
    if (attention) return AttentionColour;
    return selected ? SelectedColour : IdleColour;
}

TickOutcome refreshTick(TrayState& state, const TickInput& input) {
    TickOutcome outcome;
    if (!input.serviceRunning && !input.operationRunning) {
        outcome.exit = true;
        return outcome;
    }
    outcome.addIcon = !input.iconShown;
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
    if (command == OpenCommand) return MenuAction::OpenWindow;
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

TrayEvent decodeTrayCallback(std::uintptr_t wParam, std::intptr_t lParam) {
    const auto low = [](std::uintptr_t value) { return static_cast<unsigned>(value & 0xFFFF); };
    const auto high = [](std::uintptr_t value) { return static_cast<unsigned>((value >> 16) & 0xFFFF); };
    const auto word = static_cast<std::uintptr_t>(lParam);
    // Coordinates left of or above the primary monitor are negative: sign-extend each word.
    return {low(word), high(word), static_cast<short>(low(wParam)), static_cast<short>(high(wParam))};
}

TrayReaction trayReaction(unsigned event, bool version4) {
    switch (event) {
    case tray_messages::ContextMenu:
    case tray_messages::KeySelect:
        return TrayReaction::Menu;
    case tray_messages::RightButtonUp:
        return version4 ? TrayReaction::None : TrayReaction::Menu;  // version 4 follows with WM_CONTEXTMENU
    case tray_messages::LeftButtonDoubleClick:
        return TrayReaction::OpenWindow;
    case tray_messages::BalloonUserClick:
        return TrayReaction::BalloonClick;
    default:
        return TrayReaction::None;
    }
}

ShieldShape shieldShape(int size) {
    static constexpr ShieldShape Outline = {{{16, 2}, {28, 7}, {26, 21}, {16, 30}, {6, 21}, {4, 7}}, 2};  // at 32 px
    const auto scaled = [size](int value) { return (value * size + 16) / 32; };  // rounded to the nearest
    ShieldShape shape = {};
    for (int i = 0; i < 6; ++i) {
        for (int axis = 0; axis < 2; ++axis) shape.points[i][axis] = scaled(Outline.points[i][axis]);
    }
    shape.penWidth = std::max(1, scaled(Outline.penWidth));
    return shape;
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
