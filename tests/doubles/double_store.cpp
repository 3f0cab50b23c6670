#include "doubles/double_store.h"

#include <mutex>
#include <stdexcept>
#include <vector>

#include "app/handles.h"
#include "app/settings.h"

namespace calmlane::doubles {

namespace {

UniqueKey openStore(REGSAM access) {
    UniqueKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, StoreKey, 0, nullptr, 0, access, nullptr, key.put(), nullptr);
    return key;
}

void terminateHere() {
    // The kill point is used once: the restarted process must run normally.
    storeSetDword(L"KillAt", 0);
    UniqueKey key = openStore(KEY_ALL_ACCESS);
    RegFlushKey(key.get());
    TerminateProcess(GetCurrentProcess(), 99);
}

// Seam calls come from the service's loop and from its block's worker: each is numbered under the lock,
// and its kill point is judged by its own number, whatever the other thread counted meanwhile.
std::mutex callLock;
thread_local DWORD currentCall = 0;

bool killPoint(bool after) {
    const DWORD at = storeDword(L"KillAt", 0);
    if (at == 0 || at != currentCall) return false;
    return (storeDword(L"KillAfter", 0) != 0) == after;
}

}  // namespace

DWORD storeDword(const wchar_t* name, DWORD fallback) { return readDword(HKEY_LOCAL_MACHINE, StoreKey, name, fallback); }

// The doubles run inside product code (the service among it): a failed store write is dropped, as a
// lost record, never thrown into the code under test, where it would pass for a product failure.
void storeSetDword(const wchar_t* name, DWORD value) {
    try {
        writeDword(HKEY_LOCAL_MACHINE, StoreKey, name, value);
    } catch (const std::runtime_error&) {
    }
}

// Not the product's readString: the call record may outgrow its 64 KB buffer.
std::wstring storeString(const wchar_t* name) {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, StoreKey, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1);
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, StoreKey, name, RRF_RT_REG_SZ, nullptr, buffer.data(), &bytes) !=
        ERROR_SUCCESS) {
        return {};
    }
    return buffer.data();
}

void storeSetString(const wchar_t* name, const std::wstring& value) {
    try {
        writeString(HKEY_LOCAL_MACHINE, StoreKey, name, value);
    } catch (const std::runtime_error&) {
    }
}

DWORD enterCall(const wchar_t* call, const std::wstring& details) {
    {
        const std::lock_guard<std::mutex> lock(callLock);
        currentCall = storeDword(L"CallCount", 0) + 1;
        storeSetDword(L"CallCount", currentCall);
        storeSetString(L"Calls", storeString(L"Calls") + call + (details.empty() ? L"" : L" ") + details + L"\n");
        if (killPoint(false)) terminateHere();
    }
    if (storeString(L"SlowCall") == call) Sleep(storeDword(L"SlowMs", 0));
    const std::lock_guard<std::mutex> lock(callLock);
    if (storeString(L"FailCall") != call) return 0;
    const DWORD skip = storeDword(L"FailSkip", 0);
    if (skip > 0) {
        storeSetDword(L"FailSkip", skip - 1);
        return 0;
    }
    const DWORD times = storeDword(L"FailTimes", 0);
    if (times == 1) storeSetString(L"FailCall", L"");
    if (times > 0) storeSetDword(L"FailTimes", times - 1);
    return storeDword(L"FailCode", ERROR_ACCESS_DENIED);
}

void leaveCall() {
    const std::lock_guard<std::mutex> lock(callLock);
    if (killPoint(true)) terminateHere();
}

}  // namespace calmlane::doubles
