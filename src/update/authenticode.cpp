#include "update/authenticode.h"

#include <softpub.h>
#include <wintrust.h>

namespace calmlane {

namespace {

// The verification state WinVerifyTrust keeps after WTD_STATEACTION_VERIFY, closed in the destructor.
class TrustCheck {
public:
    TrustCheck(HANDLE file, const std::wstring& path, Revocation revocation) {
        file_.cbStruct = sizeof(file_);
        file_.pcwszFilePath = path.c_str();
        file_.hFile = file;
        data_.cbStruct = sizeof(data_);
        data_.dwUIChoice = WTD_UI_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        if (revocation == Revocation::WholeChain) {
            data_.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
            data_.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
        } else {
            data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        }
        status_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
        lastError_ = GetLastError();
    }
    ~TrustCheck() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    TrustCheck(const TrustCheck&) = delete;
    TrustCheck& operator=(const TrustCheck&) = delete;

    LONG status() const noexcept { return status_; }
    // Microsoft's documented test for "no signature at all", as opposed to one that does not verify.
    bool carriesNoSignature() const noexcept {
        return status_ == TRUST_E_NOSIGNATURE &&
               (lastError_ == static_cast<DWORD>(TRUST_E_NOSIGNATURE) ||
                lastError_ == static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN) ||
                lastError_ == static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN));
    }
    // The encoded subject of the first signer's certificate; empty when there is none.
    std::vector<unsigned char> signerSubject() const {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        if (!provider) return {};
        CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        if (!signer || signer->csCertChain == 0 || !signer->pasCertChain || !signer->pasCertChain[0].pCert) return {};
        const CERT_NAME_BLOB& subject = signer->pasCertChain[0].pCert->pCertInfo->Subject;
        if (!subject.pbData) return {};
        return {subject.pbData, subject.pbData + subject.cbData};
    }

private:
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_ = {};
    WINTRUST_DATA data_ = {};
    LONG status_ = 0;
    DWORD lastError_ = 0;
};

}  // namespace

Signature verifySignature(HANDLE file, const std::wstring& path, Revocation revocation) {
    Signature signature;
    // The handle may have been read already; the signature covers the file from its first byte.
    const LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return signature;
    const TrustCheck check(file, path, revocation);
    signature.status = check.status();
    if (check.carriesNoSignature()) {
        signature.state = SignatureState::Unsigned;
    } else if (check.status() == ERROR_SUCCESS) {
        signature.subject = check.signerSubject();
        if (!signature.subject.empty()) signature.state = SignatureState::Valid;
    }
    return signature;
}

}  // namespace calmlane
