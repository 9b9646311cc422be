#include "bar/command_actions.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "dialogs/dialog_controls.h"
#include "framework/automation.h"
#include "framework/unique_any.h"
#include "resources/resource.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

bool DownloadFileExists(const CTolInfoDownload& download) noexcept
{
    const DWORD attributes = download.path ? ::GetFileAttributesW(download.path.get()) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CopyUrlToClipboard(HWND owner, const CTolInfoDownload& download) noexcept
{
    try
    {
        const std::string url = NarrowFromBstr(download.url.get());
        unique_hglobal memory(::GlobalAlloc(GMEM_MOVEABLE, url.size() + 1));
        void* bytes = memory ? ::GlobalLock(memory.get()) : nullptr;
        if (!bytes)
            return;
        std::memcpy(bytes, url.c_str(), url.size() + 1);
        ::GlobalUnlock(memory.get());
        if (!::OpenClipboard(owner))
            return;
        ::EmptyClipboard();
        // The clipboard owns the memory once it took it.
        if (::SetClipboardData(CF_TEXT, memory.get()))
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
    if (!download.IsComplete() || !DownloadFileExists(download))
        return;
    const std::wstring path(download.path.get(), ::SysStringLen(download.path.get()));
    if (confirm)
    {
        CFocusRestorer focus;
        const std::string question =
            FillTemplate(LoadUiString(IDS_CONFIRM_OPEN_FILE_FMT), {NarrowFromWide(path.data(), path.size())});
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
