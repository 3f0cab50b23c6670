// Filtering-platform double: records every call with the fields that matter, fails on request.
#include <cstdio>

#include "doubles/double_store.h"
#include "service/wfp_seam.h"

namespace calmlane::wfp {

namespace {

std::wstring guidText(const GUID& g) {
    wchar_t text[64] = {};
    StringFromGUID2(g, text, 64);
    return text;
}

std::wstring name(const FWPM_DISPLAY_DATA0& display) { return display.name ? display.name : L""; }

DWORD finish(DWORD code) {
    doubles::leaveCall();
    return code;
}

}  // namespace

DWORD engineOpen(const FWPM_SESSION0* session, HANDLE* engine) {
    const DWORD code = doubles::enterCall(
        L"wfp.engineOpen", L"flags=" + std::to_wstring(session->flags) + L" name=" + name(session->displayData));
    if (code == 0) {
        const DWORD open = doubles::storeDword(L"OpenEngines", 0) + 1;
        doubles::storeSetDword(L"OpenEngines", open);
        doubles::storeSetDword(L"EngineProcess", GetCurrentProcessId());
        *engine = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5000 + open));
    }
    return finish(code);
}

DWORD transactionBegin(HANDLE) { return finish(doubles::enterCall(L"wfp.transactionBegin", L"")); }

DWORD subLayerAdd(HANDLE, const FWPM_SUBLAYER0* subLayer) {
    return finish(doubles::enterCall(L"wfp.subLayerAdd", L"key=" + guidText(subLayer->subLayerKey) + L" weight=" +
                                                             std::to_wstring(subLayer->weight) +
                                                             L" name=" + name(subLayer->displayData)));
}

DWORD filterAdd(HANDLE, const FWPM_FILTER0* filter) {
    const std::wstring weight = filter->weight.type == FWP_UINT8 ? std::to_wstring(filter->weight.uint8) : L"?";
    return finish(doubles::enterCall(
        L"wfp.filterAdd", L"layer=" + guidText(filter->layerKey) + L" sublayer=" + guidText(filter->subLayerKey) +
                              L" action=" + std::to_wstring(filter->action.type) + L" weight=" + weight +
                              L" conditions=" + std::to_wstring(filter->numFilterConditions) + L" name=" +
                              name(filter->displayData)));
}

DWORD transactionCommit(HANDLE) { return finish(doubles::enterCall(L"wfp.transactionCommit", L"")); }
DWORD transactionAbort(HANDLE) { return finish(doubles::enterCall(L"wfp.transactionAbort", L"")); }

DWORD engineClose(HANDLE) {
    const DWORD code = doubles::enterCall(L"wfp.engineClose", L"");
    if (code == 0) doubles::storeSetDword(L"OpenEngines", doubles::storeDword(L"OpenEngines", 1) - 1);
    return finish(code);
}

}  // namespace calmlane::wfp
