// The browser's page context-menu entry of the client ("Download by ..." on links
// and images). Its registry key is named after a string of the string table, so
// its name depends on the interface language.
#pragma once

#include <windows.h>

namespace tdm {

// Registers the entry in the current interface language, after removing any
// earlier entries. A language without a name for the entry registers nothing.
[[nodiscard]] HRESULT RegisterContextMenuEntry() noexcept;

// Removes the entries named in the current interface language (the link entry
// and the all-links entry). Missing keys are no error.
[[nodiscard]] HRESULT RemoveContextMenuEntries() noexcept;

// Moves the entries to the names of a new interface language: hooked into the
// language change (text/language.h) when the module starts.
void MoveContextMenuEntries(bool languageChanged) noexcept;

}  // namespace tdm
