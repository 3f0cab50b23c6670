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
    // The first signer's certificate (index 0) or the root of its chain (last); null when there is none.
    const CERT_CONTEXT* chainCertificate(bool root) const {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        if (!provider) return nullptr;
        CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        if (!signer || signer->csCertChain == 0 || !signer->pasCertChain) return nullptr;
        return signer->pasCertChain[root ? signer->csCertChain - 1 : 0].pCert;
    }
    // The encoded subject of the first signer's certificate; empty when there is none.
    std::vector<unsigned char> signerSubject() const {
        const CERT_CONTEXT* leaf = chainCertificate(false);
        if (!leaf || !leaf->pCertInfo || !leaf->pCertInfo->Subject.pbData) return {};
        const CERT_NAME_BLOB& subject = leaf->pCertInfo->Subject;
        return {subject.pbData, subject.pbData + subject.cbData};
    }
    // The encoded root certificate of the signer's chain; empty when there is none.
    std::vector<unsigned char> signerRoot() const {
        const CERT_CONTEXT* root = chainCertificate(true);
        if (!root || !root->pbCertEncoded) return {};
        return {root->pbCertEncoded, root->pbCertEncoded + root->cbCertEncoded};
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
        signature.root = check.signerRoot();
        if (!signature.subject.empty() && !signature.root.empty()) signature.state = SignatureState::Valid;
    }
    return signature;
}

bool runningImageSigned() {
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    if (!base) return true;  // unknown: treated as signed, so nothing unverified is started
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}

}  // namespace calmlane
