// The browser's page context-menu entries of the client: "Download by ..." on
// links and images (script 3000) and "Download all links by ..." on the page
// (script 3001, the link-selection dialog). Each registry key is named after a
// string of the string table, so the names depend on the interface language.
#pragma once

#include <windows.h>

namespace tdm {

// Registers both entries in the current interface language, after removing any
// earlier ones. A language without a name for an entry registers nothing for it
// (S_FALSE).
[[nodiscard]] HRESULT RegisterContextMenuEntries() noexcept;

// Removes the entries named in the current interface language (the link entry
// and the all-links entry). Missing keys are no error.
[[nodiscard]] HRESULT RemoveContextMenuEntries() noexcept;

// Moves the entries to the names of a new interface language: hooked into the
// language change (text/language.h) when the module starts.
void MoveContextMenuEntries(bool languageChanged) noexcept;

}  // namespace tdm
