#include "install/folder_verdict.h"

namespace calmlane {

namespace {

// SYSTEM, Administrators and TrustedInstaller: the principals that own a protected Windows folder.
constexpr const wchar_t* TrustedPrincipals[] = {
    L"S-1-5-18",
    L"S-1-5-32-544",
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};

bool trusted(const std::wstring& principal) {
    for (const wchar_t* sid : TrustedPrincipals) {
        if (principal == sid) return true;
    }
    return false;
}

// The file objects' GENERIC_MAPPING.
constexpr struct {
    std::uint32_t generic, specific;
} FileMapping[] = {
    {access::GenericRead, access::FileGenericRead},
    {access::GenericWrite, access::FileGenericWrite},
    {access::GenericExecute, access::FileGenericExecute},
    {access::GenericAll, access::FileAllAccess},
};

// The mask with each generic right's file rights added, as MapGenericMask adds them. The generic bits
// stay: no verdict asks for them.
std::uint32_t withFileRights(std::uint32_t mask) {
    std::uint32_t granted = mask;
    for (const auto& right : FileMapping) {
        if ((mask & right.generic) != 0) granted |= right.specific;
    }
    return granted;
}

}  // namespace

bool onlyTrustedHold(const std::wstring& owner, const std::optional<std::vector<AccessEntry>>& dacl,
                     std::uint32_t rights) {
    if (!trusted(owner) || !dacl) return false;
    for (const AccessEntry& entry : *dacl) {
        if (entry.allow && !entry.inheritOnly && (withFileRights(entry.mask) & rights) != 0 &&
            !trusted(entry.principal)) {
            return false;
        }
    }
    return true;
}

}  // namespace calmlane
