// The interface language, string loading and HTML Help.
//
// Every text of the client is loaded from the module's string table in the
// current interface language, a Windows language identifier kept once per
// process. It is read from the settings on first use and replaced when the
// download engine announces its own language.
#pragma once

#include <windows.h>
#include <string>

namespace tdm {

// The current language; the first call reads the stored one.
WORD GetUiLanguage() noexcept;

// Forgets the current language: the next use reads the stored one again.
void ForgetUiLanguage() noexcept;

// Runs around a change of the interface language: with false while the old
// language is still current, with true once the new one is. The module moves
// the browser's page context-menu entries with it, whose key names are texts of
// the string table.
using LanguageChangeHook = void (*)(bool changed);
void SetLanguageChangeHook(LanguageChangeHook hook) noexcept;

// Makes `language` current; when it differs from the current language, the
// change hook runs around it.
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
