// The small shell icon of a download's file, shown in the File Name column of the
// downloads list and kept in the download's record.
#pragma once

#include <windows.h>
#include <string>

#include "framework/unique_any.h"

namespace tdm {

// Looks up the small icon of the file at `path` (full path, ANSI code page).
// A path that is empty or names a folder (ends with a backslash) has no icon. A
// file that does not exist yet (a download still to be saved) is stood in for by
// an empty hidden file "_<name><ext>" in the user's temporary folder, created for
// the lookup and deleted after it (a file of that name that already exists is
// used and left alone). Returns no icon when the shell has none.
unique_hicon LookUpFileIcon(const std::wstring& path) noexcept;

// The icon of the file at `path` from the process's icon cache, looked up on
// first use; null when the file has none. The handle is borrowed: the cache owns
// it and keeps it until ReleaseFileIconCache.
//
// Icons are shared by every file of one extension (letter case aside), so that
// thousands of downloads cost a handful of icons and shell lookups. Files whose
// icon is their own (programs, icons, cursors and shortcuts) are cached by their
// full path once they exist. Safe on any thread; the lookup itself runs outside
// the cache's lock.
HICON CachedFileIcon(const std::wstring& path) noexcept;

// Destroys the cached icons, when nothing holds the module (its lock count is
// 0): every holder of a borrowed icon, a record of a panel or a toolbar frame,
// lives in an object or a window that keeps the module locked. Run when the
// module releases what it holds; the next lookup fills the cache anew.
void ReleaseFileIconCache() noexcept;

}  // namespace tdm
