#pragma once
// Files and folders where someone else may have put a link. Code with high rights (the uninstaller, the
// start of an installer that a user's process staged) opens such a path one name at a time, below a
// folder it already holds open, never following a junction, symbolic link or mount point. It checks each
// handle it gets (no reparse point, the kind it asked for, and by its final path at the place it asked
// for: Wine shows its links only there) and then acts through the handles, not by path again.
#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "app/handles.h"

namespace calmlane {

// Others may read and write what is held, but never delete, rename or replace it.
inline constexpr DWORD ShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
inline constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

enum class Entry { Folder, File };

// NtCreateFile's dispositions (winnt.h).
enum class Disposition : ULONG { Open = FILE_OPEN, Create = FILE_CREATE, OpenOrCreate = FILE_OPEN_IF };

// Opens, or creates, `name` (one name, no separator) in the folder open as `folder`, without following a
// link at that name. FILE_READ_ATTRIBUTES and SYNCHRONIZE are always asked for. Null, with the last error
// set, when it cannot be opened, and with ERROR_CANT_RESOLVE_FILENAME when it is a reparse point, of the
// other kind, or not `<folder>\<name>` by its final path.
UniqueHandle openBelow(HANDLE folder, const std::wstring& name, Entry kind, DWORD access, DWORD share,
                       Disposition disposition = Disposition::Open);

// Opens the folder `path` itself, not a link at its last name, and keeps it only when it is a real folder
// at that very path (checked as openBelow checks). The folders above it are followed: the caller trusts them.
UniqueHandle openFolder(const std::wstring& path, DWORD access, DWORD share);

// Opens a full drive-letter path that a user wrote, with no link followed anywhere along it: the drive's
// root, then each name below the one before (8.3 names allowed). Null when a name is a link, is missing
// or cannot be opened.
UniqueHandle openWithoutLinks(const std::wstring& path, Entry kind, DWORD access);

// The final path of what `handle` is open on, "C:\..." (Windows' "\\?\" dropped before a drive letter);
// empty when it cannot be read.
std::wstring finalPath(HANDLE handle);

// The two handles are open on the same file: same volume serial number and file index.
bool sameFile(HANDLE a, HANDLE b);

// Deletes the file, or the empty folder, open as `handle` (with DELETE) once its last handle is closed.
bool deleteThrough(HANDLE handle);

// Calls visit(name, attributes) for each entry of the folder open as `folder` (with FILE_LIST_DIRECTORY),
// "." and ".." included.
void forEachEntry(HANDLE folder, const std::function<void(std::wstring_view name, DWORD attributes)>& visit);

}  // namespace calmlane
