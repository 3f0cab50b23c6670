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
};

enum class Revocation { Ignore, WholeChain };

// Verifies the signature of the file open as `file` (`path` names the same file), with no user
// interface. WholeChain also checks every certificate but the root for revocation, fetching what it
// needs, and fails when that cannot be done.
Signature verifySignature(HANDLE file, const std::wstring& path, Revocation revocation);

}  // namespace calmlane
