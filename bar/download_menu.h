// The context menu of download commands that the bar's list and the download
// indicator share, and its enabled states.
#pragma once

#include <windows.h>

#include "engine/download_record.h"
#include "framework/unique_any.h"

namespace tdm {

// What the menu's states depend on.
struct DownloadMenuState
{
    const CTolInfoDownload* current = nullptr;  // the first selected (or pointed at) download
    size_t selected = 0;                        // downloads the commands would take
    int rows = 0;
    int active = 0;    // downloads running or transferring
    int finished = 0;  // complete downloads that are not active
    bool logPerDownload = false;
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
