#include "configuration/saver_operation.h"

#include <exception>
#include <stdexcept>

#include "app/detached_thread.h"
#include "app/localization.h"
#include "configuration/saver_selection.h"

namespace calmlane {

std::shared_ptr<SaverOperation> SaverOperation::start(SaverAction action, std::function<void()> work) {
    auto operation = std::make_shared<SaverOperation>(action);
    startDetached([operation, work = std::move(work)] {
        try {
            work();
        } catch (const std::exception& e) {
            operation->message = e.what();
        } catch (...) {
            operation->message = "The screen saver operation failed.";
        }
        operation->finished.store(true, std::memory_order_release);
    });
    return operation;
}

std::string SaverOperation::error() const {
    if (!finished.load(std::memory_order_acquire)) return std::string();
    return message;
}

std::shared_ptr<SaverOperation> beginSaverOperation(SaverAction action) {
    return SaverOperation::start(action, [action] {
        if (action == SaverAction::Enable) {
            activateSaver();
        } else {
            deactivateSaver();
        }
    });
}

std::shared_ptr<SaverOperation> beginTrackedSaverOperation(HWND window, UINT_PTR timer, SaverAction action) {
    if (SetTimer(window, timer, 75, nullptr) == 0) throw std::runtime_error("Cannot track the screen saver operation.");
    try {
        return beginSaverOperation(action);
    } catch (...) {
        KillTimer(window, timer);
        throw;
    }
}

std::wstring saverOperationLabel(SaverAction action) {
    if (action == SaverAction::Enable) {
        return tr(L"Activation…", L"Enabling…", L"Wird aktiviert…", L"正在启用…", L"Activando…", L"Attivazione…");
    }
    return tr(L"Désactivation…", L"Disabling…", L"Wird deaktiviert…", L"正在停用…", L"Desactivando…",
              L"Disattivazione…");
}

}  // namespace calmlane
