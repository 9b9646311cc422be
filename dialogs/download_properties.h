// The dialogs that edit a download's options: the new-download / properties
// dialog (template 301) and the page of the settings sheet that edits the
// options of new downloads (template 299).
#pragma once

#include <windows.h>
#include <string>

#include "engine/engine_link.h"

namespace tdm {

// The new-download and download-properties dialog. It reads `options` when it
// opens and, when the user confirms, writes the edited values into it (the URL
// and the local path too, when they are not empty); the caller then hands the
// options to the engine. `localPath` is a file name, or a folder ending with
// "\"; an empty one hides the Local Path row. `conflictWindow` (the downloads
// panel or the toolbar frame; may be null) answers the queries for other
// downloads with the same URL or path.
class CDefDownDlg
{
public:
    CDefDownDlg(CDownloadOptions options, std::string url, std::string localPath, long downloadId,
                HWND conflictWindow, bool newDownload);
    ~CDefDownDlg();
    CDefDownDlg(const CDefDownDlg&) = delete;
    CDefDownDlg& operator=(const CDefDownDlg&) = delete;

    // Runs the dialog modally; IDOK or IDCANCEL (-1 when it could not be shown).
    INT_PTR DoModal(HWND owner);

private:
    class CImpl;
    CImpl* m_impl;
};

}  // namespace tdm
