// The commands the downloads panel and the toolbar frame share: Add, Log,
// Settings, About and the bandwidth modes.
//
// T (the panel or the frame) derives from CCommandHandlerT<T, Base> and offers
//     CEngine CommandEngine();          the connected engine (may be empty)
//     IWebBrowser2* CommandBrowser();   the hosting browser (may be null)
//     LONG CommandDownloadId();         the download a Log command is for, or -1
// Engine and helper failures are shown in the COM error box; none escapes.
#pragma once

#include <windows.h>
#include <exdisp.h>

#include "browser/download_creation.h"
#include "dialogs/about_dialog.h"
#include "dialogs/dialog_controls.h"
#include "dialogs/log_dialog.h"
#include "downloads/command_states.h"
#include "engine/engine_link.h"
#include "framework/error.h"
#include "framework/window.h"
#include "settings/settings_sheet.h"
#include "tdm_h.h"
#include "text/message_box.h"

namespace tdm {

// Runs a command body: an engine or helper failure is shown in the COM error
// box, and whatever the command did before it stays done.
template <typename Body>
void RunCommand(Body&& body) noexcept
{
    try
    {
        body();
    }
    catch (const CComError& error)
    {
        ShowComError(error);
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
    }
}

template <typename T, typename Base>
class CCommandHandlerT : public Base
{
public:
    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_COMMAND(kCommandAdd, OnAdd)
        TDM_ON_COMMAND(kCommandLog, OnLog)
        TDM_ON_COMMAND(kCommandSettings, OnSettings)
        TDM_ON_COMMAND(kCommandAbout, OnAbout)
        TDM_ON_COMMAND(kCommandTrafficMinimal, OnTrafficMode)
        TDM_ON_COMMAND(kCommandTrafficNormal, OnTrafficMode)
        TDM_ON_COMMAND(kCommandTrafficUnlimited, OnTrafficMode)
        TDM_CHAIN_TO(Base)
    TDM_END_MESSAGE_MAP()

protected:
    ~CCommandHandlerT() = default;

private:
    T& Self() noexcept { return static_cast<T&>(*this); }

    LRESULT OnAdd(WORD, WORD, HWND, bool&)
    {
        RunCommand([] {
            const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
            CallTwice(IID_ITolDownloadHelper, [&] { return helper->CreateDownload(nullptr); });
        });
        return 0;
    }

    LRESULT OnLog(WORD, WORD, HWND, bool&)
    {
        RunCommand([this] {
            const LONG id = Self().CommandDownloadId();
            const CEngine engine = Self().CommandEngine();
            if (id < 0 || !engine)
                return;
            CFocusRestorer focus;
            const unique_bstr log = engine.GetDownloadLog(id);
            ShowDownloadLog(BrowserOwnerWindow(Self().CommandBrowser()), log.get(), ::SysStringLen(log.get()));
        });
        return 0;
    }

    LRESULT OnSettings(WORD, WORD, HWND, bool&)
    {
        ShowSettings(Self().CommandBrowser(), Self().CommandEngine().get());
        return 0;
    }

    LRESULT OnAbout(WORD, WORD, HWND, bool&)
    {
        CFocusRestorer focus;
        ShowAboutBox(::GetActiveWindow());
        return 0;
    }

    LRESULT OnTrafficMode(WORD, WORD id, HWND, bool&)
    {
        RunCommand([this, id] {
            if (const CEngine engine = Self().CommandEngine())
                engine.SetTrafficMode(id - kCommandTrafficMinimal + 1);
        });
        return 0;
    }
};

}  // namespace tdm
