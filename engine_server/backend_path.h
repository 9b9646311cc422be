// Paths as a Windows aria2 reports them, in the form the engine keeps.
//
// aria2c.exe names files with forward slashes ("C:/Users/a/Downloads/x.zip"),
// and may give long paths with the "\\?\" prefix; the engine keeps
// backslashed paths without the prefix, as Windows' own calls return them.
// Comparing a reported path with a kept one goes through WindowsPath first, so
// that a file aria2 merely spells differently is not taken for a renamed one.
// Portable: no Windows calls.
#pragma once

#include <string>
#include <string_view>

namespace tdm::engine {

// `path` with every '/' turned into '\', repeated separators collapsed (the
// leading "\\" of a network path kept) and a "\\?\" or "\\?\UNC\" prefix
// removed. Names (Unicode included) are left as they are.
std::wstring WindowsPath(std::wstring_view path);

// Whether two paths name the same file or folder: equal once normalised,
// ignoring the case of ASCII letters and one trailing separator.
bool SamePath(std::wstring_view a, std::wstring_view b);

}  // namespace tdm::engine
