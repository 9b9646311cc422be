// The small shell icon of a download's file, shown in the File Name column of the
// downloads list and kept in the download's record.
#pragma once

#include <string>

#include "framework/unique_any.h"

namespace tdm {

// Looks up the small icon of the file at `path` (full path, ANSI code page).
// A path that is empty or names a folder (ends with a backslash) has no icon. A
// file that does not exist yet (a download still to be saved) is stood in for by
// an empty hidden file "_<name><ext>" in the user's temporary folder, created for
// the lookup and deleted after it (a file of that name that already exists is
// used and left alone). Returns no icon when the shell has none.
unique_hicon LookUpFileIcon(const std::string& path) noexcept;

}  // namespace tdm
