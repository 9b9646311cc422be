// The context menu of download commands that the bar's list and the download
// indicator share, and its enabled states.
#pragma once

#include <windows.h>

#include "downloads/command_states.h"
#include "framework/unique_any.h"

namespace tdm {

// What the menu shows.
struct DownloadMenuState
{
    // The download commands' states (null: all enabled).
    const CCommandStates* states = nullptr;
    // The bar's list has the toolbar toggles; the indicator has not.
    bool toolbarToggles = false;
    bool showToolbar = false;
    bool showLabels = false;
};

// A popup menu of the download commands (texts in the interface language) in
// the states `state` gives; the commands go to the window it is tracked for.
unique_hmenu BuildDownloadMenu(const DownloadMenuState& state);

// The help menu of the toolbars: contents, context help, about.
unique_hmenu BuildHelpMenu();

}  // namespace tdm
