// The interface language, string loading and HTML Help.
//
// Every text of the client is loaded from the module's string table in the
// current interface language, a Windows language identifier kept once per
// process. It is read from the settings when the module loads and replaced when
// the download engine announces its own language.
#pragma once

#include <windows.h>
#include <string>

namespace tdm {

WORD GetUiLanguage() noexcept;

// Reads the stored language; called once when the module is loaded.
void InitUiLanguage() noexcept;

// Makes `language` current. When it differs from the current language, the
// browser's page context-menu entries, whose key names are texts of the string
// table, are moved to the names in the new language.
void SetUiLanguage(WORD language) noexcept;

// Sets the current language without touching anything else (start-up and tests).
void ResetUiLanguage(WORD language) noexcept;

// Loads string `id` of the current language, converted to the ANSI code page.
// A string that the table of that language lacks comes out empty.
std::string LoadUiString(UINT id);
std::wstring LoadUiStringW(UINT id);

// Loads string `id` with the neutral language, so that the system's resource
// lookup picks the language (used for the product name and the help failure text).
std::string LoadNeutralString(UINT id);
std::wstring LoadNeutralStringW(UINT id);

// Full path of the help file of the current language; empty when the module's
// file name cannot be read.
std::string HelpFilePath();

// Help contents rather than a topic.
inline constexpr DWORD kHelpContents = 9;

// Opens HTML Help on `context` (a topic number, or kHelpContents). Returns the
// help window, or null when help could not be shown.
HWND ShowHelp(HWND owner, DWORD context) noexcept;

}  // namespace tdm
