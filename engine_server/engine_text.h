// Texts and files of the engine: UTF-8 (aria2, the engine's files) and UTF-16
// (COM, Windows) conversions, whole-file reads and safe replacement of a file.
#pragma once

#include <windows.h>
#include <string>
#include <string_view>

namespace tdm::engine {

std::string Utf8FromWide(std::wstring_view text);
std::wstring WideFromUtf8(std::string_view text);

// The bytes of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::wstring& path);
// Writes `bytes` to a file beside `path`, then moves it over `path`, so that
// a reader sees the old or the new content, never a part.
[[nodiscard]] HRESULT ReplaceFileContent(const std::wstring& path, std::string_view bytes) noexcept;
// Appends `bytes` to a file, creating it when missing.
[[nodiscard]] HRESULT AppendToFile(const std::wstring& path, std::string_view bytes) noexcept;

// Creates a folder and the folders above it that are missing.
[[nodiscard]] HRESULT CreateFolderPath(const std::wstring& path) noexcept;

// The local time in `format`, which takes year, month, day, hour, minute and
// second in that order.
std::wstring LocalTimeText(const wchar_t* format);

}  // namespace tdm::engine
