// The Windows Filtering Platform behind the wfp seam.
#include <rpc.h>

#include "service/wfp_seam.h"

namespace calmlane::wfp {

DWORD engineOpen(const FWPM_SESSION0* session, HANDLE* engine) {
    return FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, session, engine);
}
DWORD transactionBegin(HANDLE engine) { return FwpmTransactionBegin0(engine, 0); }
DWORD subLayerAdd(HANDLE engine, const FWPM_SUBLAYER0* subLayer) { return FwpmSubLayerAdd0(engine, subLayer, nullptr); }
DWORD filterAdd(HANDLE engine, const FWPM_FILTER0* filter) { return FwpmFilterAdd0(engine, filter, nullptr, nullptr); }
DWORD transactionCommit(HANDLE engine) { return FwpmTransactionCommit0(engine); }
DWORD transactionAbort(HANDLE engine) { return FwpmTransactionAbort0(engine); }
DWORD engineClose(HANDLE engine) { return FwpmEngineClose0(engine); }

}  // namespace calmlane::wfp
