// Paths as a Windows aria2 reports them, in the form the engine keeps.
//
// aria2c.exe names files with forward slashes ("C:/Users/a/Downloads/x.zip"),
// and may give long paths with the "\\?\" prefix; the engine keeps
// backslashed paths without the prefix, as Windows' own calls return them, so
// that a file aria2 merely spells differently is not taken for a renamed one or
// for one outside its download's folder.
// Portable: no Windows calls.
#pragma once

#include <string>
#include <string_view>

namespace tdm::engine {

// `path` with every '/' turned into '\', repeated separators collapsed (the
// leading "\\" of a network path kept) and a "\\?\" or "\\?\UNC\" prefix
// removed. Names (Unicode included) are left as they are.
std::wstring WindowsPath(std::wstring_view path);

}  // namespace tdm::engine
