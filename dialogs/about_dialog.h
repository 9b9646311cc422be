// The about box (template 120): the product picture with the version painted
// over it. Any click closes it; a click on the web address drawn in the picture
// also opens the product's web site.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <string>

#include "dialogs/help_dialog.h"
#include "framework/com_ptr.h"
#include "framework/unique_any.h"

namespace tdm {

// Opens the product's web site at `address` for a click in the about box owned
// by `owner`. The default asks the shell to open it in the user's browser;
// tests put their own in its place, so that a click opens no browser.
using WebSiteOpener = void (*)(HWND owner, const std::wstring& address);
// Makes `opener` the one the about box uses (null: the default); returns the
// one it replaces.
WebSiteOpener SetWebSiteOpener(WebSiteOpener opener) noexcept;

// Runs the about box modally; the caller restores the keyboard focus.
void ShowAboutBox(HWND owner) noexcept;

class CAboutDialog : public CHelpDlgT<CAboutDialog>
{
public:
    static constexpr UINT TemplateId = IDD_ABOUT;

    // The picture's area that shows the web address, in client coordinates.
    static constexpr RECT kWebSiteArea = {206, 230, 317, 240};

    // The version as painted: string 523 after its first ".", trimmed.
    const std::wstring& VersionText() const noexcept { return m_version; }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
        TDM_ON_MESSAGE(WM_SETCURSOR, OnSetCursor)
        TDM_ON_MESSAGE(WM_LBUTTONDOWN, OnLeftButtonDown)
        TDM_ON_MESSAGE(WM_DESTROY, OnDestroy)
        TDM_ON_COMMAND(IDOK, OnClose)
        TDM_ON_COMMAND(IDCANCEL, OnClose)
        TDM_CHAIN_TO(CHelpDlgT<CAboutDialog>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnSetCursor(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnLeftButtonDown(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnClose(WORD, WORD, HWND, bool&);

    void FitToPicture();
    HCURSOR HandCursor();

    com_ptr<IPicture> m_picture;  // null when the picture could not be loaded
    std::wstring m_version;
    unique_hcursor m_ownHand;     // only when the system has no hand cursor
};

}  // namespace tdm
