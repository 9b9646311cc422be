#include "downloads/event_questions.h"

#include <commdlg.h>
#include <shlwapi.h>

#include <new>
#include <vector>

#include "downloads/record_events.h"
#include "dialogs/credentials_dialog.h"
#include "dialogs/dialog_controls.h"
#include "framework/automation.h"
#include "resources/resource.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

// The Save As dialog at `folder` and `fileName`; both replaced by the choice.
bool AskSaveAs(HWND owner, std::wstring& folder, std::wstring& fileName)
{
    const wchar_t* extension = ::PathFindExtensionW(fileName.c_str());
    const std::wstring type = *extension ? std::wstring(extension + 1) : std::wstring(L"html");
    std::wstring filter = FillTemplate(LoadUiStringW(IDS_FILES_OF_TYPE_FMT), {type});
    filter += L'\0';
    filter += L"*." + type;
    filter += L'\0';
    filter += LoadUiStringW(IDS_ANY_FILES);
    filter += L'\0';
    filter += L"*.*";
    filter += L'\0';
    const std::wstring title = FillTemplate(LoadUiStringW(IDS_SAVE_AS_TITLE_FMT), {fileName});
    std::vector<wchar_t> path(32768, L'\0');
    const std::wstring initial = JoinPath(folder, fileName);
    if (initial.size() < path.size())
        initial.copy(path.data(), initial.size());
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    if (!::GetSaveFileNameW(&dialog))
        return false;
    const std::wstring chosen(path.data());
    const size_t slash = chosen.find_last_of(L'\\');
    folder = slash == std::wstring::npos ? std::wstring() : chosen.substr(0, slash + 1);
    fileName = slash == std::wstring::npos ? chosen : chosen.substr(slash + 1);
    return true;
}

void Replace(BSTR* target, const std::wstring& text)
{
    unique_bstr copy(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!copy)
        throw std::bad_alloc();
    ::SysFreeString(*target);
    *target = copy.release();
}

}  // namespace

bool ClaimNotice(HWND top, HWND owner, LONG scope) noexcept
{
    if (scope >= 2)
        return true;
    if (scope < 0 || !top)
        return false;
    if (scope == 0)
        return top == owner;
    wchar_t className[256] = {};
    if (::GetClassNameW(top, className, 256) == 0)
        return false;
    for (HWND window = ::FindWindowExW(nullptr, nullptr, className, nullptr); window;
         window = ::FindWindowExW(nullptr, window, className, nullptr))
    {
        if (::IsWindowVisible(window))
            return window == top;
    }
    return false;
}

void BringForward(HWND top) noexcept
{
    if (!top)
        return;
    if (::IsIconic(top))
        ::ShowWindow(top, SW_RESTORE);
    else if (::GetForegroundWindow() != top)
        ::SetForegroundWindow(top);
}

void AskFileName(const IEngineEventHandler::FileInfo& info, bool hasFileName, bool saveFileDefault, HWND owner,
                 const std::function<bool()>& claim,
                 const std::function<const CTolInfoDownload*(const std::wstring& path)>& otherWithPath)
{
    if (hasFileName)
        return;
    std::wstring folder = TextOf(*info.folder);
    std::wstring fileName = TextOf(*info.fileName);
    const bool askSaveAs = folder.empty() || !saveFileDefault;
    const bool askReplace =
        !askSaveAs && ::GetFileAttributesW(JoinPath(folder, fileName).c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!askSaveAs && !askReplace)
        return;
    if (!claim())
        return;
    *info.claimed = VARIANT_TRUE;
    // Yes to the replace question keeps the suggested name without the Save As
    // dialog, but that name may still be another download's file.
    bool browse = askSaveAs;
    if (askReplace)
    {
        const std::wstring title = FillTemplate(LoadUiStringW(IDS_SAVE_AS_TITLE_FMT), {fileName});
        const std::wstring question =
            FillTemplate(LoadUiStringW(IDS_CONFIRM_REPLACE_FILE_FMT), {JoinPath(folder, fileName)});
        const int answer = ShowMessageBox(question, owner, MB_YESNOCANCEL | MB_ICONQUESTION, title.c_str());
        if (answer != IDYES && answer != IDNO)
        {
            *info.cancel = VARIANT_TRUE;
            return;
        }
        browse = answer == IDNO;
    }
    for (;; browse = true)
    {
        if (browse && !AskSaveAs(owner, folder, fileName))
        {
            *info.cancel = VARIANT_TRUE;
            return;
        }
        const std::wstring chosen = JoinPath(folder, fileName);
        const CTolInfoDownload* other = otherWithPath(chosen);
        if (!other)
            break;
        const std::wstring question = FillTemplate(LoadUiStringW(IDS_CONFIRM_SAME_FILE_NAME_FMT),
                                                   {chosen, WideFromBstr(other->url.get())});
        const int answer = ShowMessageBox(question, owner, MB_YESNOCANCEL | MB_ICONQUESTION);
        if (answer == IDYES)
            break;
        if (answer != IDNO)
        {
            *info.cancel = VARIANT_TRUE;
            return;
        }
    }
    Replace(info.folder, folder);
    Replace(info.fileName, fileName);
}

void AnswerCredentials(const IEngineEventHandler::Credentials& request, HWND owner)
{
    CredentialRequest question;
    question.userName = TextOf(*request.userName);
    question.password = TextOf(*request.password);
    question.url = TextOf(request.url);
    question.realm = TextOf(request.realm);
    question.proxy = request.proxy;
    const CredentialAnswer answer = AskCredentials(owner, question);
    if (answer.cancelled)
    {
        *request.cancel = VARIANT_TRUE;
        return;
    }
    Replace(request.userName, answer.userName);
    Replace(request.password, answer.password);
    *request.remember = answer.remember ? VARIANT_TRUE : VARIANT_FALSE;
}

}  // namespace tdm
