// The download commands over download ids, the same for the explorer bar, the
// toolbar, the minimised bar's strip and every menu: one rule for what each
// command does to which downloads and one question text per command.
//
// A command reads the records it needs from the model before it asks, and sends
// to the engine only ids: a download may go while a question is open. Engine
// failures are raised as CComError for the caller's command boundary.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <exdisp.h>

#include <vector>

#include "downloads/downloads_model.h"
#include "engine/download_record.h"

namespace tdm {

// Where a command runs: the thread's model (its engine and browser) and the
// window that issued it.
struct CommandSite
{
    CDownloadsModel& model;
    HWND window;  // the issuing window: the properties dialog's conflict queries go to it
};

// Start: downloads `ids` that are not transferring; complete downloads whose
// files exist only after a question. Start All (`all`): every download neither
// transferring nor complete, without a question. Each start carries the page
// cookie of its URL.
void StartDownloads(const CommandSite& site, const std::vector<LONG>& ids, bool all);
// Pause (All): the transferring downloads among `ids`; those that cannot resume
// only after a question (No: they keep running; Cancel: nothing is paused).
void PauseDownloads(const CommandSite& site, const std::vector<LONG>& ids);
// Delete after a question listing the downloads.
void DeleteDownloads(const CommandSite& site, const std::vector<LONG>& ids);
// Delete All after a question.
void DeleteAllDownloads(const CommandSite& site);
// The properties dialog for the first of `ids`; what it changes goes to every
// one of them, each keeping its own address and file.
void EditDownloadProperties(const CommandSite& site, const std::vector<LONG>& ids);
// Every download in display order.
std::vector<LONG> AllDownloadIds(const CDownloadsModel& model);

// Whether the download's path names an existing file (not a folder).
bool DownloadFileExists(const CTolInfoDownload& download) noexcept;

// Puts the download's URL on the clipboard as text, for `owner`.
void CopyUrlToClipboard(HWND owner, const CTolInfoDownload& download) noexcept;

// Opens a complete download's file with the shell, asking first when `confirm`
// (the question owned by `questionOwner`). The path comes from the engine: it is
// handed to the shell as a file only, and only when it names an existing file;
// a file that is gone is reported with the system's text.
void OpenDownloadedFile(const CTolInfoDownload& download, HWND owner, bool confirm, HWND questionOwner);

// A tool tip of a toolbar button: the string with the button's command id, in
// the interface language (tools identified by a window are left alone).
void ToolTipFromStringTable(NMTTDISPINFOW& info);

}  // namespace tdm
