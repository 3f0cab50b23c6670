#pragma once
// The filtering platform's engine calls, behind a seam: Wine cannot open the engine. The product links
// the Windows implementation (platform/wfp_windows.cpp); test builds link a recording double.
#include <windows.h>
#include <fwpmu.h>

namespace calmlane::wfp {

DWORD engineOpen(const FWPM_SESSION0* session, HANDLE* engine);
DWORD transactionBegin(HANDLE engine);
DWORD subLayerAdd(HANDLE engine, const FWPM_SUBLAYER0* subLayer);
DWORD filterAdd(HANDLE engine, const FWPM_FILTER0* filter);
DWORD transactionCommit(HANDLE engine);
DWORD transactionAbort(HANDLE engine);
DWORD engineClose(HANDLE engine);

}  // namespace calmlane::wfp
