// The dialog layer that answers help requests.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include "framework/window.h"
#include "resources/resource.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

inline constexpr WORD kHelpButtonId = 9;
inline constexpr WORD kHelpContentsCommand = 32796;
inline constexpr DWORD kDialogTopicBase = 0x20000;
inline constexpr DWORD kCommandTopicBase = 0x10000;

// Shows help for `context`; when no help window appears, says so in an error box
// owned by the foreground window.
inline void ShowHelpOrComplain(HWND owner, DWORD context) noexcept
{
    if (!ShowHelp(owner, context))
        ShowErrorBox(LoadNeutralString(IDS_HELP_LAUNCH_FAILED), ::GetForegroundWindow());
}

// Maps F1, the Help button (9), the property-sheet help notification and the
// "Help Contents" command to HTML Help. The dialog's own topic is
// 0x20000 + its template number unless T defines HelpTopic().
template <typename T>
class CHelpDlgT : public CDialogImplT<T>
{
public:
    static DWORD HelpTopic() noexcept { return kDialogTopicBase + T::TemplateId; }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_HELP, OnHelpRequest)
        TDM_ON_COMMAND(kHelpButtonId, OnHelpButton)
        TDM_ON_COMMAND(kHelpContentsCommand, OnHelpContents)
        TDM_ON_NOTIFY_CODE(PSN_HELP, OnSheetHelp)
    TDM_END_MESSAGE_MAP()

protected:
    LRESULT OnHelpRequest(UINT, WPARAM, LPARAM lParam, bool&)
    {
        const auto* info = reinterpret_cast<const HELPINFO*>(lParam);
        if (info && info->iContextType == HELPINFO_MENUITEM && info->iCtrlId != 0 && info->iCtrlId != 9)
            ShowHelpOrComplain(this->m_window, kCommandTopicBase + static_cast<DWORD>(info->iCtrlId));
        else
            ShowHelpOrComplain(this->m_window, T::HelpTopic());
        return TRUE;
    }
    LRESULT OnHelpButton(WORD, WORD, HWND, bool&)
    {
        ShowHelpOrComplain(this->m_window, T::HelpTopic());
        return 0;
    }
    LRESULT OnHelpContents(WORD, WORD, HWND, bool&)
    {
        ShowHelpOrComplain(this->m_window, kHelpContents);
        return 0;
    }
    LRESULT OnSheetHelp(int, NMHDR*, bool&)
    {
        ShowHelpOrComplain(this->m_window, T::HelpTopic());
        return 0;
    }
};

}  // namespace tdm
