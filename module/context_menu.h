// The browser's page context-menu entry of the client ("Download by ..." on links
// and images). Its registry key is named after a string of the string table, so
// its name depends on the interface language.
#pragma once

#include <windows.h>

namespace tdm {

// Registers the entry in the current interface language, after removing any
// earlier entries. Failures are silent.
void RegisterContextMenuEntry() noexcept;

// Removes the entries named in the current interface language (the link entry
// and the all-links entry). Missing keys are no error.
void RemoveContextMenuEntries() noexcept;

}  // namespace tdm
