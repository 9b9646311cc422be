// The command ids of the bar, the toolbar and their menus, and the one table of
// which download commands are enabled, computed from the downloads and the
// selection and pushed to every toolbar and menu that shows them.
#pragma once

#include <windows.h>

#include "downloads/download_store.h"

namespace tdm {

// Command ids of the bar and the toolbar (toolbar buttons, menus).
enum BarCommand : WORD
{
    kCommandContextHelp = 9,
    kCommandTrafficMinimal = 534,
    kCommandTrafficNormal = 535,
    kCommandTrafficUnlimited = 536,
    kCommandCloseBar = 541,
    kCommandMinimise = 542,
    kCommandRestore = 543,
    kCommandAdd = 32781,
    kCommandProperties = 32782,
    kCommandStart = 32783,
    kCommandStartAll = 32784,
    kCommandPause = 32786,
    kCommandPauseAll = 32787,
    kCommandDelete = 32788,
    kCommandDeleteAll = 32789,
    kCommandLog = 32790,
    kCommandSettings = 32791,
    kCommandCopyUrl = 32792,
    kCommandOpenFile = 32793,
    kCommandShowToolbar = 32794,
    kCommandShowLabels = 32795,
    kCommandHelpContents = 32796,
    kCommandAbout = 32797,
};

// The enabled state of every download command. A download is active when it
// is running or transferring, the same for every toolbar and menu.
class CCommandStates
{
public:
    // `current`: the first selected (or pointed at) download, or null;
    // `selected`: how many downloads the commands would take.
    CCommandStates(const CDownloadStore& downloads, bool logPerDownload, const CTolInfoDownload* current,
                   size_t selected) noexcept;

    // Commands that are not download commands are always enabled.
    bool Enabled(WORD command) const noexcept;
    // Enables and disables the download commands a toolbar has as buttons.
    void ApplyTo(HWND toolbar) const noexcept;
    // Grays and enables the download commands a menu has as items.
    void ApplyTo(HMENU menu) const noexcept;

    bool operator==(const CCommandStates& other) const noexcept;
    bool operator!=(const CCommandStates& other) const noexcept { return !(*this == other); }

private:
    struct Entry
    {
        WORD command;
        bool enabled;
    };
    Entry m_entries[10];
};

}  // namespace tdm
