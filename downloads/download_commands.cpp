#include "downloads/download_commands.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "browser/download_creation.h"
#include "dialogs/dialog_controls.h"
#include "dialogs/download_properties.h"
#include "framework/automation.h"
#include "framework/unique_any.h"
#include "resources/resource.h"
#include "text/format.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

// A download as the questions list it: a line break, the URL, " -> " and the
// file path.
std::wstring Line(const CTolInfoDownload& record)
{
    return L"\n" + WideFromBstr(record.url.get()) + L" -> " + WideFromBstr(record.path.get());
}

int Ask(const CommandSite& site, const std::wstring& text, UINT type)
{
    CFocusRestorer focus;
    return ShowMessageBox(text, site.model.BrowserTopWindow(), type);
}

}  // namespace

std::vector<LONG> AllDownloadIds(const CDownloadsModel& model)
{
    std::vector<LONG> ids;
    const CDownloadStore& downloads = model.Downloads();
    ids.reserve(downloads.Count());
    for (size_t i = 0; i < downloads.Count(); ++i)
        ids.push_back(downloads.At(i)->id);
    return ids;
}

void StartDownloads(const CommandSite& site, const std::vector<LONG>& ids, bool all)
{
    const CEngine engine = site.model.Engine();
    if (!engine)
        return;
    std::vector<LONG> loaded, start;
    std::wstring lines;
    for (LONG id : ids)
    {
        const CTolInfoDownload* record = site.model.Find(id);
        if (!record)
            continue;
        if (all)
        {
            if (!(record->state & (kStateTransferring | kStateComplete)))
                start.push_back(id);
        }
        else if (record->IsComplete() && DownloadFileExists(*record))
        {
            loaded.push_back(id);
            lines += Line(*record);
        }
        else if (!(record->state & kStateTransferring))
        {
            start.push_back(id);
        }
    }
    if (!loaded.empty())
    {
        const int answer = Ask(site, LoadUiStringW(IDS_CONFIRM_RESTART_LOADED) + lines + L"?",
                               MB_ICONQUESTION | (start.empty() ? MB_YESNO : MB_YESNOCANCEL));
        if (answer == IDCANCEL)
            return;
        if (answer != IDYES)
            loaded.clear();
    }
    loaded.insert(loaded.end(), start.begin(), start.end());
    const HWND owner = site.model.BrowserTopWindow();
    for (LONG id : loaded)
    {
        // The download may have gone while a question was open.
        const CTolInfoDownload* record = site.model.Find(id);
        const std::wstring url = record ? WideFromBstr(record->url.get()) : std::wstring();
        engine.StartDownload(id, owner, GetPageCookieForUrl(url, site.model.Browser(), true));
    }
}

void PauseDownloads(const CommandSite& site, const std::vector<LONG>& ids)
{
    const CEngine engine = site.model.Engine();
    if (!engine)
        return;
    std::vector<LONG> pause, noResume;
    std::wstring lines;
    for (LONG id : ids)
    {
        const CTolInfoDownload* record = site.model.Find(id);
        if (!record || !(record->state & kStateTransferring))
            continue;
        if (record->resumable == 0)
        {
            noResume.push_back(id);
            lines += Line(*record);
        }
        else
        {
            pause.push_back(id);
        }
    }
    if (!noResume.empty())
    {
        const int answer =
            Ask(site, LoadUiStringW(IDS_CONFIRM_PAUSE_NO_RESUME) + lines + L"?", MB_YESNOCANCEL | MB_ICONQUESTION);
        if (answer == IDCANCEL)
            return;
        if (answer == IDYES)
            pause.insert(pause.end(), noResume.begin(), noResume.end());
    }
    const HWND owner = site.model.BrowserTopWindow();
    for (LONG id : pause)
        engine.PauseDownload(id, owner);
}

void DeleteDownloads(const CommandSite& site, const std::vector<LONG>& ids)
{
    const CEngine engine = site.model.Engine();
    std::vector<LONG> known;
    std::wstring lines;
    for (LONG id : ids)
    {
        if (const CTolInfoDownload* record = site.model.Find(id))
        {
            known.push_back(id);
            lines += Line(*record);
        }
    }
    if (known.empty() || !engine)
        return;
    if (Ask(site, LoadUiStringW(IDS_CONFIRM_DELETE) + lines + L"?", MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    for (LONG id : known)
        engine.DeleteDownload(id);
}

void DeleteAllDownloads(const CommandSite& site)
{
    const CEngine engine = site.model.Engine();
    if (!engine || Ask(site, LoadUiStringW(IDS_CONFIRM_DELETE_ALL), MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    for (LONG id : AllDownloadIds(site.model))
        engine.DeleteDownload(id);
}

void EditDownloadProperties(const CommandSite& site, const std::vector<LONG>& ids)
{
    const CEngine engine = site.model.Engine();
    struct Target
    {
        LONG id;
        std::wstring url, path;
    };
    std::vector<Target> targets;
    for (LONG id : ids)
        if (const CTolInfoDownload* record = site.model.Find(id))
            targets.push_back({id, WideFromBstr(record->url.get()), WideFromBstr(record->path.get())});
    if (targets.empty() || !engine)
        return;
    const HWND owner = site.model.BrowserTopWindow();
    const CDownloadOptions options = engine.GetOptions(targets.front().id);
    const bool single = targets.size() == 1;
    CFocusRestorer focus;
    CDefDownDlg dialog(options, single ? targets.front().url : std::wstring(),
                       single ? targets.front().path : std::wstring(), targets.front().id, site.window, false);
    if (dialog.DoModal(owner) != IDOK)
        return;
    engine.SetOptions(targets.front().id, owner, options);
    for (size_t i = 1; i < targets.size(); ++i)
    {
        options.SetUrl(targets[i].url);
        options.SetLocalPath(targets[i].path);
        engine.SetOptions(targets[i].id, owner, options);
    }
}

bool DownloadFileExists(const CTolInfoDownload& download) noexcept
{
    const DWORD attributes = download.path ? ::GetFileAttributesW(download.path.get()) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CopyUrlToClipboard(HWND owner, const CTolInfoDownload& download) noexcept
{
    try
    {
        // As UTF-16: the system offers it as 8-bit text too.
        const std::wstring url = WideFromBstr(download.url.get());
        const size_t size = (url.size() + 1) * sizeof(wchar_t);
        unique_hglobal memory(::GlobalAlloc(GMEM_MOVEABLE, size));
        void* bytes = memory ? ::GlobalLock(memory.get()) : nullptr;
        if (!bytes)
            return;
        std::memcpy(bytes, url.c_str(), size);
        ::GlobalUnlock(memory.get());
        if (!::OpenClipboard(owner))
            return;
        ::EmptyClipboard();
        // The clipboard owns the memory once it took it.
        if (::SetClipboardData(CF_UNICODETEXT, memory.get()))
            (void)memory.release();
        ::CloseClipboard();
    }
    catch (...)
    {
        // Out of memory for the text: nothing is copied.
    }
}

void OpenDownloadedFile(const CTolInfoDownload& download, HWND owner, bool confirm, HWND questionOwner)
{
    if (!download.IsComplete())
        return;
    const std::wstring path(download.path.get(), ::SysStringLen(download.path.get()));
    if (!DownloadFileExists(download))
    {
        // As the shell says it: the path and the system's text.
        CFocusRestorer focus;
        ShowErrorBox(path + L"\n" + WideFromNarrow(ComErrorText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))),
                     questionOwner);
        return;
    }
    if (confirm)
    {
        CFocusRestorer focus;
        const std::wstring question = FillTemplate(LoadUiStringW(IDS_CONFIRM_OPEN_FILE_FMT), {path});
        if (ShowMessageBox(question, questionOwner, MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
    }
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOASYNC;
    execute.hwnd = owner;
    execute.lpVerb = L"open";
    execute.lpFile = path.c_str();
    execute.nShow = SW_SHOWNORMAL;
    (void)::ShellExecuteExW(&execute);
}

void ToolTipFromStringTable(NMTTDISPINFOW& info)
{
    if (info.uFlags & TTF_IDISHWND)
        return;
    const std::wstring tip = LoadUiStringW(static_cast<UINT>(info.hdr.idFrom));
    const size_t length = std::min<size_t>(tip.size(), std::size(info.szText) - 1);
    tip.copy(info.szText, length);
    info.szText[length] = L'\0';
    info.lpszText = info.szText;
}

}  // namespace tdm
