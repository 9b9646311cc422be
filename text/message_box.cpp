#include "text/message_box.h"

#include <vector>

#include "framework/automation.h"
#include "framework/error.h"
#include "framework/unique_any.h"
#include "resources/resource.h"
#include "text/format.h"
#include "text/language.h"

namespace tdm {

namespace {

// Room for the check box square and the margins around the text.
constexpr int kTextWidthPadding = 20;

// The description an error-information object carries; empty when there is none.
std::wstring DescriptionOf(IErrorInfo* info)
{
    if (!info)
        return {};
    unique_bstr description;
    if (FAILED(info->GetDescription(description.put())))
        return {};
    return WideFromBstr(description.get());
}

// Width of `window`'s text drawn in the window's own font; 0 without either.
int TextWidth(HWND window)
{
    const int length = ::GetWindowTextLengthW(window);
    if (length <= 0)
        return 0;
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
    if (::GetWindowTextW(window, text.data(), length + 1) <= 0)
        return 0;
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
    if (!font)
        return 0;
    window_dc dc(window);
    if (!dc)
        return 0;
    select_object selected(dc.get(), font);
    RECT bounds = {};
    if (::DrawTextW(dc.get(), text.data(), -1, &bounds, DT_CALCRECT) == 0)
        return 0;
    return bounds.right - bounds.left;
}

}  // namespace

int ShowMessageBox(const std::wstring& text, HWND owner, UINT type, const wchar_t* caption) noexcept
{
    try
    {
        const std::wstring productName = caption ? std::wstring() : LoadNeutralStringW(IDS_PRODUCT_NAME);
        // The box takes the focus while it is open; the window that had it may be
        // destroyed meanwhile (its owner closed by a posted message), so it gets
        // the focus back only while it still exists.
        HWND focus = ::GetFocus();
        const wchar_t* const title = caption ? caption : productName.c_str();
        int result = ::MessageBoxW(owner, text.c_str(), title, type);
        // An owner that is gone by now (the foreground window of another program
        // may close at any moment) must not cost the user the message.
        if (result == 0 && owner && !::IsWindow(owner))
            result = ::MessageBoxW(nullptr, text.c_str(), title, type);
        if (focus && ::IsWindow(focus))
            ::SetFocus(focus);
        return result;
    }
    catch (...)
    {
        return 0;
    }
}

int ShowMessageBox(const std::string& text, HWND owner, UINT type, const char* caption) noexcept
{
    try
    {
        const std::wstring wideCaption = caption ? WideFromNarrow(caption) : std::wstring();
        return ShowMessageBox(WideFromNarrow(text), owner, type, caption ? wideCaption.c_str() : nullptr);
    }
    catch (...)
    {
        return 0;
    }
}

void ShowErrorBox(const std::wstring& text, HWND owner) noexcept
{
    ShowMessageBox(text, owner, MB_OK | MB_ICONERROR);
}

void ShowErrorBox(const std::string& text, HWND owner) noexcept
{
    ShowMessageBox(text, owner, MB_OK | MB_ICONERROR);
}

void ShowInfoBox(const std::wstring& text, HWND owner) noexcept
{
    ShowMessageBox(text, owner, MB_OK | MB_ICONINFORMATION);
}

void ShowInfoBox(const std::string& text, HWND owner) noexcept
{
    ShowMessageBox(text, owner, MB_OK | MB_ICONINFORMATION);
}

void ShowComError(const CComError& error) noexcept
{
    try
    {
        std::wstring text = DescriptionOf(error.ErrorInfo());
        if (text.empty())
            text = WideFromNarrow(ComErrorText(error.Status()));
        // The foreground window owns the box when it is one of this process's
        // windows: a box owned by another program's window would disable that
        // window, and the box would go when that program closes it.
        HWND owner = ::GetForegroundWindow();
        DWORD process = 0;
        if (owner && (::GetWindowThreadProcessId(owner, &process) == 0 || process != ::GetCurrentProcessId()))
            owner = nullptr;
        ShowErrorBox(text, owner);
    }
    catch (...)
    {
        // Out of memory for the text: nothing can be shown.
    }
}

void FitWidthToText(HWND window) noexcept
{
    try
    {
        RECT frame = {};
        if (!::GetWindowRect(window, &frame))
            return;
        const int width = TextWidth(window) + kTextWidthPadding;
        ::SetWindowPos(window, nullptr, 0, 0, width, frame.bottom - frame.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    catch (...)
    {
        // Out of memory for the text: the width stays.
    }
}

}  // namespace tdm
