// The toolbar frame: the compact download bar that fills the toolbar band (a
// drop target for links, command buttons and the download indicator), also
// shown by the explorer bar's panel while the bar is minimised.
//
// The frame shows its thread's downloads model (in the model's order, which is
// the bar's sort order while the bar shows the list) and follows its changes.
#pragma once

#include <windows.h>
#include <exdisp.h>

#include <memory>
#include <optional>
#include <vector>

#include "bar/command_handler.h"
#include "bar/drop_target.h"
#include "bar/iconic_view.h"
#include "bar/indicator.h"
#include "downloads/download_commands.h"
#include "downloads/downloads_model.h"
#include "engine/engine_link.h"
#include "framework/com_ptr.h"
#include "framework/unique_any.h"
#include "framework/window.h"
#include "resources/window_messages.h"

namespace tdm {

class CTolToolbarFrame : public CCommandHandlerT<CTolToolbarFrame, CWindowImplT<CTolToolbarFrame>>,
                         public IIconicView,
                         public IDownloadsObserver
{
public:
    static constexpr WORD kToggleBarCommand = 516;
    // Help topics are numbered after these templates: the toolbar band's frame
    // and the minimised explorer bar's.
    static constexpr UINT kToolbarTemplateId = 296;
    static constexpr UINT kBarViewTemplateId = 298;
    static constexpr int kDefaultWidth = 226;
    static constexpr int kHeight = 24;

    CTolToolbarFrame() noexcept;
    ~CTolToolbarFrame();
    CTolToolbarFrame(const CTolToolbarFrame&) = delete;
    CTolToolbarFrame& operator=(const CTolToolbarFrame&) = delete;

    static const wchar_t* ClassName() noexcept { return L"TolvaneDownloadToolbarFrame"; }
    static WNDCLASSEXW ClassInfo() noexcept;

    // Creates the frame in `host`: with `toolbarHost` (the toolbar band) it has
    // the explorer bar's toggle button; without it (the minimised panel) not.
    HWND CreateFrame(HWND host, bool toolbarHost) noexcept;

    // IIconicView (also the toolbar band's way in)
    HWND ViewWindow() const noexcept override { return m_window; }
    void SetBrowser(IWebBrowser2* browser) noexcept override { m_browser = com_ptr<IWebBrowser2>(browser); }
    void SetModel(CDownloadsModel* model) noexcept override;
    CDownloadsModel* Model() const noexcept { return m_model.get(); }
    CTolDownloadIndicator& Indicator() noexcept { return m_indicator; }
    HWND Toolbar() const noexcept { return m_toolbar.get(); }
    HWND DropTargetWindow() const noexcept { return m_dropTarget.Window(); }

    // The command layer's view of the frame.
    CEngine CommandEngine() const { return m_model ? m_model->Engine() : CEngine(); }
    IWebBrowser2* CommandBrowser() const noexcept { return m_browser.get(); }
    LONG CommandDownloadId() const noexcept { return m_indicator.HotDownload(); }

    // IDownloadsObserver
    void OnDownloadsReset() override { Changed(-1); }
    void OnDownloadAdded(LONG) override { Changed(-1); }
    void OnDownloadRemoved(LONG, int) override { Changed(-1); }
    void OnDownloadChanged(LONG id, DownloadChange) override { Changed(id); }
    void OnOrderChanged() override { Changed(-1); }
    void OnTextsChanged() override;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_SIZE, OnSize)
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
        TDM_ON_MESSAGE(kBandStateMessage, OnBarState)
        TDM_ON_MESSAGE(kSelectDownload, OnSelectDownload)
        TDM_ON_MESSAGE(kQueryPathConflict, OnConflictQuery)
        TDM_ON_MESSAGE(kQueryUrlConflict, OnConflictQuery)
        TDM_ON_MESSAGE(WM_CONTEXTMENU, OnContextMenu)
        TDM_ON_MESSAGE(WM_HELP, OnHelp)
        TDM_ON_MESSAGE(WM_NOTIFY, OnNotify)
        TDM_ON_COMMAND(kToggleBarCommand, OnToggleBar)
        TDM_ON_COMMAND(kCommandStart, OnStart)
        TDM_ON_COMMAND(kCommandStartAll, OnStartAll)
        TDM_ON_COMMAND(kCommandPause, OnPause)
        TDM_ON_COMMAND(kCommandPauseAll, OnPauseAll)
        TDM_ON_COMMAND(kCommandDelete, OnDelete)
        TDM_ON_COMMAND(kCommandDeleteAll, OnDeleteAll)
        TDM_ON_COMMAND(kCommandProperties, OnProperties)
        TDM_ON_COMMAND(kCommandCopyUrl, OnCopyUrl)
        TDM_ON_COMMAND(kCommandOpenFile, OnOpenFile)
        TDM_ON_COMMAND(kCommandContextHelp, OnContextHelp)
        TDM_ON_COMMAND(kCommandHelpContents, OnHelpContents)
        TDM_CHAIN_TO(BaseMap)
    TDM_END_MESSAGE_MAP()

private:
    using BaseMap = CCommandHandlerT<CTolToolbarFrame, CWindowImplT<CTolToolbarFrame>>;

    LRESULT OnSize(UINT, WPARAM, LPARAM lParam, bool&);
    LRESULT OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnBarState(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnSelectDownload(UINT, WPARAM wParam, LPARAM lParam, bool&);
    LRESULT OnConflictQuery(UINT message, WPARAM wParam, LPARAM lParam, bool&);
    LRESULT OnContextMenu(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
    LRESULT OnHelp(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnNotify(UINT, WPARAM, LPARAM lParam, bool& handled);
    LRESULT OnToggleBar(WORD, WORD, HWND, bool&);
    LRESULT OnStart(WORD, WORD, HWND, bool&);
    LRESULT OnStartAll(WORD, WORD, HWND, bool&);
    LRESULT OnPause(WORD, WORD, HWND, bool&);
    LRESULT OnPauseAll(WORD, WORD, HWND, bool&);
    LRESULT OnDelete(WORD, WORD, HWND, bool&);
    LRESULT OnDeleteAll(WORD, WORD, HWND, bool&);
    LRESULT OnProperties(WORD, WORD, HWND, bool&);
    LRESULT OnCopyUrl(WORD, WORD, HWND, bool&);
    LRESULT OnOpenFile(WORD, WORD, HWND, bool&);
    LRESULT OnContextHelp(WORD, WORD, HWND, bool&);
    LRESULT OnHelpContents(WORD, WORD, HWND, bool&);

    // The download the indicator's commands are for, or null.
    const CTolInfoDownload* Current() const noexcept
    {
        return m_model ? m_model->Find(m_indicator.HotDownload()) : nullptr;
    }
    // The hot download as a command's list: empty when there is none.
    std::vector<LONG> CurrentIds() const;
    void RunDownloadCommand(void (*command)(const CommandSite&, const std::vector<LONG>&), bool all);
    // After a change of the downloads: the indicator and the button states.
    void Changed(LONG id) noexcept;
    void UpdateButtons() noexcept;
    HWND BrowserTopWindow() const noexcept;
    DWORD HelpTopic() const noexcept;
    static bool LogPerDownload(void* frame);

    bool m_toolbarHost = false;
    CTolDropTarget m_dropTarget;
    unique_hwnd m_toolbar;
    unique_himagelist m_images;
    unique_himagelist m_disabledImages;
    CTolDownloadIndicator m_indicator;
    unique_hwnd m_tip;
    int m_toolbarWidth = 0;
    com_ptr<CDownloadsModel> m_model;
    std::optional<CCommandStates> m_applied;  // what the buttons show
    com_ptr<IWebBrowser2> m_browser;
};

// A frame without the toggle button as the minimised explorer bar's view, in
// `panel`: the factory the module installs for the bar.
std::unique_ptr<IIconicView> CreateBarStripFrame(HWND panel) noexcept;

}  // namespace tdm
