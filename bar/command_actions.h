// Pieces of the download commands that the bar's panel and the toolbar frame
// share.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "engine/download_record.h"

namespace tdm {

// Whether the download's path names an existing file (not a folder).
bool DownloadFileExists(const CTolInfoDownload& download) noexcept;

// Puts the download's URL on the clipboard as text, for `owner`.
void CopyUrlToClipboard(HWND owner, const CTolInfoDownload& download) noexcept;

// Opens a complete download's file with the shell, asking first when `confirm`
// (the question owned by `questionOwner`). The path comes from the engine: it is
// handed to the shell as a file only, and only when it names an existing file.
void OpenDownloadedFile(const CTolInfoDownload& download, HWND owner, bool confirm, HWND questionOwner);

// A tool tip of a toolbar button: the string with the button's command id, in
// the interface language (tools identified by a window are left alone).
void ToolTipFromStringTable(NMTTDISPINFOW& info);

}  // namespace tdm
