#include "update/staging_rules.h"

namespace calmlane {

namespace {

constexpr std::wstring_view Prefix = L"Calmlane-Setup-";
constexpr std::wstring_view Suffix = L".exe";
constexpr unsigned long NotRegular = attribute::Directory | attribute::ReparsePoint | attribute::Device;

}  // namespace

std::wstring stagedInstallerName(std::wstring_view version) {
    std::wstring name(Prefix);
    name += version;
    name += Suffix;
    return name;
}

bool isStagedInstaller(std::wstring_view name, unsigned long attributes) {
    return attributes != attribute::Invalid && (attributes & NotRegular) == 0 && name.starts_with(Prefix) &&
           name.ends_with(Suffix);
}

}  // namespace calmlane
