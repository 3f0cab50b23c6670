#include <windows.h>

#include "app/local_path.h"

namespace calmlane {

bool onFixedDisk(const std::wstring& path) {
    return driveLetterPath(path) && GetDriveTypeW(driveRoot(path).c_str()) == DRIVE_FIXED;
}

}  // namespace calmlane
