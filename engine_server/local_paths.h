// Paths of the downloads' folders and files: separators, the extended form,
// and the file operations the engine makes on them.
#pragma once

#include <windows.h>

#include <string>

namespace tdm::engine {

// `folder` with a separator at its end (empty stays empty).
std::wstring WithSeparator(std::wstring folder);
// A folder as aria2 takes it: without the separator at the end, except for a
// drive's root ("C:\\").
std::wstring WithoutSeparator(const std::wstring& folder);
// `path` (a full local or UNC path) in the form that the file functions take
// as it stands: a server's name in the staging folder may end with a dot or be
// "CON", which the ordinary form would trim or turn into a device.
std::wstring ExtendedPath(std::wstring path);
// True when `path` is a file (not a folder).
bool FileExists(const std::wstring& path) noexcept;
// Removes `folder` (ending with "\\") with the files in it; best effort.
void RemoveFolderWithFiles(const std::wstring& folder) noexcept;
// The number a folder or file name of the engine's gives (a download's id, a
// thousand of them), as the engine writes it: digits, no leading zero; -1 for
// any other name.
long NumberOfName(const std::wstring& name) noexcept;
// Whether two folder paths (each ending with a separator) name the same
// folder: separators either way, letters of any case.
bool SameFolder(std::wstring a, std::wstring b);
// A name for a new file beside `path` + `extension` that is not taken:
// "<path><extension>", else "<path> (2)<extension>", "(3)", ...
std::wstring FreeFileName(const std::wstring& path, const std::wstring& extension);

}  // namespace tdm::engine
