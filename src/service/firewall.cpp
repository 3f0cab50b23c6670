#include "service/firewall.h"

#include <windows.h>

#include "app/constants.h"
#include "app/error_text.h"
#include "app/handles.h"
#include "service/log.h"
#include "service/network_block.h"
#include "service/wfp_ids.h"
#include "service/wfp_seam.h"

namespace calmlane {

namespace {

using UniqueEngine = Unique<NullTraits<HANDLE, wfp::engineClose>>;

// Non-null exactly while a firewall block is held.
UniqueEngine engine;

const GUID filterLayers[] = {
    LayerInboundIpPacketV4,
    LayerOutboundIpPacketV4,
    LayerInboundIpPacketV6,
    LayerOutboundIpPacketV6,
    LayerIpForwardV4,
    LayerIpForwardV6,
};

// Adds the sublayer and the six filters; returns the first failing call's code, or 0.
DWORD addObjects() {
    wchar_t subLayerName[] = L"Calmlane";
    FWPM_SUBLAYER0 subLayer = {};
    subLayer.subLayerKey = SubLayer;
    subLayer.displayData.name = subLayerName;
    subLayer.weight = 0xFFFF;
    if (const DWORD rc = wfp::subLayerAdd(engine.get(), &subLayer)) return rc;

    wchar_t filterName[] = L"Calmlane temporary network pause";
    for (const GUID& layer : filterLayers) {
        FWPM_FILTER0 filter = {};
        filter.displayData.name = filterName;
        filter.layerKey = layer;
        filter.subLayerKey = SubLayer;
        filter.weight.type = FWP_UINT8;
        filter.weight.uint8 = 15;
        filter.numFilterConditions = 0;  // every packet on the layer matches
        filter.action.type = FWP_ACTION_BLOCK;
        if (const DWORD rc = wfp::filterAdd(engine.get(), &filter)) return rc;
    }
    return 0;
}

}  // namespace

bool firewallBlock() {
    wchar_t sessionName[] = L"Calmlane";
    FWPM_SESSION0 session = {};
    session.displayData.name = sessionName;
    session.flags = WfpSessionFlagDynamic;
    HANDLE opened = nullptr;
    if (const DWORD rc = wfp::engineOpen(&session, &opened)) {
        logEvent(L"WFP engine open failed: " + errorText(rc));
        return false;
    }
    engine.reset(opened);
    if (wfp::transactionBegin(engine.get()) != 0) {
        restore();
        return false;
    }
    if (const DWORD rc = addObjects()) {
        wfp::transactionAbort(engine.get());
        restore();
        logEvent(L"WFP failure: " + errorText(rc));
        return false;
    }
    if (wfp::transactionCommit(engine.get()) != 0) {
        restore();
        return false;
    }
    logEvent(L"IPv4/IPv6 Internet and LAN blocked (dynamic WFP filters).");
    return true;
}

bool firewallEngineOpen() { return static_cast<bool>(engine); }

bool releaseFirewall() {
    if (!engine) return true;
    if (wfp::engineClose(engine.get()) != 0) {
        publishNetworkState(NetworkState::Failed);
        logEvent(L"Firewall recovery failed; retry pending.");
        return false;
    }
    engine.release();
    logEvent(L"Firewall filters released.");
    return true;
}

}  // namespace calmlane
