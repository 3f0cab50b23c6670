#pragma once
// Who signed a program: its Authenticode signature, checked by WinVerifyTrust.
#include <windows.h>

#include <string>
#include <vector>

namespace calmlane {

enum class SignatureState {
    Unsigned,  // the file carries no signature
    Valid,     // WinVerifyTrust accepted it and named its signer
    Invalid,   // a signature that does not verify (altered file, untrusted chain, revoked, expired...)
};

struct Signature {
    SignatureState state = SignatureState::Invalid;
    long status = 0;                     // WinVerifyTrust's result, for diagnostics
    std::vector<unsigned char> subject;  // the signer certificate's encoded subject, when Valid
    std::vector<unsigned char> root;     // the encoded root certificate of the signer's chain, when Valid
};

enum class Revocation { Ignore, WholeChain };

// Verifies the signature of the file open as `file` (`path` names the same file), with no user
// interface. WholeChain also checks every certificate but the root for revocation, fetching what it
// needs, and fails when that cannot be done.
Signature verifySignature(HANDLE file, const std::wstring& path, Revocation revocation);

// Whether the running program's image carries a certificate table at all. Only its absence makes a
// development build; a signature that cannot be checked is not taken for none.
bool runningImageSigned();

}  // namespace calmlane
