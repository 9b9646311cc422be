// The downloads panel: the modeless dialog that fills the explorer bar.
//
// The band object owns the panel and creates its window when it is sited. The
// panel shows the downloads model of its thread (one row per download in its
// list) and follows the model's changes; it keeps the main toolbar with the
// download commands and their states and a one-second refresh timer while
// downloads are active.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <oleidl.h>
#include <string>

#include "bar/bar_windows.h"
#include "bar/command_handler.h"
#include "bar/iconic_view.h"
#include "bar/list_view.h"
#include "dialogs/help_dialog.h"
#include "downloads/downloads_model.h"
#include "engine/engine_link.h"
#include "framework/com_ptr.h"
#include "framework/unique_any.h"
#include "resources/window_messages.h"

namespace tdm {

class CMyDlg : public CCommandHandlerT<CMyDlg, CHelpDlgT<CMyDlg>>, public IDownloadsObserver
{
public:
    static constexpr UINT TemplateId = 103;
    static constexpr int kListId = 403;
    static constexpr int kToolbarId = 404;
    static constexpr int kCaptionButtonsId = 1;
    // Height of the minimised bar's strip.
    static constexpr int kStripHeight = 26;

    CMyDlg() noexcept;
    ~CMyDlg();
    CMyDlg(const CMyDlg&) = delete;
    CMyDlg& operator=(const CMyDlg&) = delete;

    // Creates the panel window, hidden, as a child of `parent`.
    HWND CreatePanel(HWND parent) noexcept;

    // The hosting browser (null: none); recorded for this thread in the helper's
    // browser table.
    void SetBrowser(IWebBrowser2* browser) noexcept;
    // The downloads model of this thread, taken when the window is created.
    CDownloadsModel* Model() const noexcept { return m_model.get(); }
    // Shows the panel with `dropTarget` registered on it, or hides it and
    // revokes the drop target.
    void ShowPanel(bool show, IDropTarget* dropTarget) noexcept;

    // The browser's top-level window, or null.
    HWND BrowserTopWindow() const noexcept;

    // The command layer's view of the panel.
    CEngine CommandEngine() const { return m_model ? m_model->Engine() : CEngine(); }
    IWebBrowser2* CommandBrowser() const noexcept { return m_browser.get(); }
    // The first selected download, or -1.
    LONG CommandDownloadId() const noexcept;

    // The minimised state: the bar is a strip showing the iconic view.
    bool Iconic() const noexcept { return m_iconic; }
    LONG IconicTopOffset() const noexcept { return m_iconicTopOffset; }
    // The strip shown while minimised, another view of the model; null otherwise.
    IIconicView* IconicFrame() const noexcept { return m_iconicFrame.get(); }
    HWND CaptionButtons() const noexcept { return m_captionButtons.get(); }

    CTolListView& List() noexcept { return m_list; }
    HWND Toolbar() const noexcept { return m_toolbar.get(); }
    bool TimerRunning() const noexcept { return m_timerRunning; }

    // IDownloadsObserver
    void OnDownloadsReset() override;
    void OnDownloadAdded(LONG id) override;
    void OnDownloadRemoving(LONG id, int index) override;
    void OnDownloadRemoved(LONG id, int index) override;
    void OnDownloadChanged(LONG id, DownloadChange change) override;
    void OnOrderChanged() override;
    void OnTextsChanged() override;
    void OnLogOptionChanged() override;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_MESSAGE(WM_SIZE, OnSize)
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
        TDM_ON_MESSAGE(WM_DESTROY, OnDestroy)
        TDM_ON_MESSAGE(WM_TIMER, OnTimer)
        TDM_ON_MESSAGE(kSelectDownload, OnSelectDownload)
        TDM_ON_MESSAGE(kQueryPathConflict, OnConflictQuery)
        TDM_ON_MESSAGE(kQueryUrlConflict, OnConflictQuery)
        TDM_ON_MESSAGE(WM_NOTIFY, OnNotify)
        TDM_ON_MESSAGE(WM_CONTEXTMENU, OnContextMenu)
        TDM_ON_COMMAND(IDOK, OnSwallowedCommand)
        TDM_ON_COMMAND(IDCANCEL, OnSwallowedCommand)
        TDM_ON_COMMAND(kCommandStart, OnStart)
        TDM_ON_COMMAND(kCommandStartAll, OnStart)
        TDM_ON_COMMAND(kCommandPause, OnPause)
        TDM_ON_COMMAND(kCommandPauseAll, OnPause)
        TDM_ON_COMMAND(kCommandDelete, OnDelete)
        TDM_ON_COMMAND(kCommandDeleteAll, OnDeleteAll)
        TDM_ON_COMMAND(kCommandProperties, OnProperties)
        TDM_ON_COMMAND(kCommandCopyUrl, OnCopyUrl)
        TDM_ON_COMMAND(kCommandOpenFile, OnOpenFile)
        TDM_ON_COMMAND(kCommandShowToolbar, OnShowToolbar)
        TDM_ON_COMMAND(kCommandShowLabels, OnShowLabels)
        TDM_ON_COMMAND(kCommandCloseBar, OnCloseBar)
        TDM_ON_COMMAND(kCommandMinimise, OnMinimise)
        TDM_ON_COMMAND(kCommandRestore, OnRestore)
        TDM_CHAIN_TO(BaseMap)
    TDM_END_MESSAGE_MAP()

private:
    using BaseMap = CCommandHandlerT<CMyDlg, CHelpDlgT<CMyDlg>>;

    // The settings the panel keeps a copy of.
    struct Settings
    {
        bool showToolbar = true;
        bool showToolbarLabels = false;
        bool confirmFileOpen = true;
    };

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnSize(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT OnTimer(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnSelectDownload(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnConflictQuery(UINT message, WPARAM wParam, LPARAM lParam, bool&);
    LRESULT OnNotify(UINT, WPARAM, LPARAM lParam, bool& handled);
    LRESULT OnSwallowedCommand(WORD, WORD, HWND, bool&) { return 0; }
    LRESULT OnContextMenu(UINT, WPARAM, LPARAM lParam, bool&);

    // --- commands ---
    LRESULT OnStart(WORD, WORD id, HWND, bool&);
    LRESULT OnPause(WORD, WORD id, HWND, bool&);
    LRESULT OnDelete(WORD, WORD, HWND, bool&);
    LRESULT OnDeleteAll(WORD, WORD, HWND, bool&);
    LRESULT OnProperties(WORD, WORD, HWND, bool&);
    LRESULT OnCopyUrl(WORD, WORD, HWND, bool&);
    LRESULT OnOpenFile(WORD, WORD, HWND, bool&);
    LRESULT OnShowToolbar(WORD, WORD, HWND, bool&);
    LRESULT OnShowLabels(WORD, WORD, HWND, bool&);
    LRESULT OnCloseBar(WORD, WORD, HWND, bool&);
    LRESULT OnMinimise(WORD, WORD, HWND, bool&);
    LRESULT OnRestore(WORD, WORD, HWND, bool&);
    // --- bar windows and the minimised state ---
    void ReplaceCloseButton() noexcept;
    void CreateCaptionButtons(SIZE button) noexcept;
    void Minimise() noexcept;
    void Restore() noexcept;
    void ApplyBarHeight() noexcept;
    void CreateIconicFrame() noexcept;
    // The window the drop target is registered on: the panel, or the frame
    // while minimised.
    HWND DropWindow() const noexcept;
    void MoveDropTarget(HWND from, HWND to) noexcept;
    void InvalidateCaptionButtons(int bottom) noexcept;
    void OnHelpDropDown(const NMTOOLBARW& button);
    void OnListKey(const NMLVKEYDOWN& key);
    // Rows whose list state has the selected bit, in row order.
    std::vector<int> SelectedRows() const;
    // The focused row, else the selection mark; -1 when neither.
    int CurrentRow() const noexcept;
    // The selected row when no other is, else -1: what the commands for one
    // download (Copy URL, Open) act on, as the command states enable them.
    int OnlySelectedRow() const noexcept;
    // The downloads of the selected rows, in row order.
    std::vector<LONG> SelectedIds() const;
    void OpenDownloadedFile(int row);
    void PostRelayout() noexcept;

    void ReloadSettings() noexcept;
    void BuildToolbars() noexcept;
    void DestroyToolbars() noexcept;
    void Layout() noexcept;
    // The download commands' states (one table for the toolbar and the menus)
    // for `current` (null: none) and the selection.
    void UpdateCommandStates(const CTolInfoDownload* current) noexcept;
    // The states for the first selected row.
    void RefreshForFirstSelected() noexcept;
    void StartTimer() noexcept;
    void StopTimer() noexcept;
    // Sorts the list (the model's order).
    void SortRows() noexcept;
    // The refresh timer runs while a download is active.
    void RefreshTimer() noexcept;

    com_ptr<CDownloadsModel> m_model;
    com_ptr<IWebBrowser2> m_browser;
    CTolListView m_list;
    CTolBandBar m_bandBar{*this};
    bool m_iconic = false;
    LONG m_restoredHeight = 0;
    LONG m_iconicTopOffset = 0;
    std::unique_ptr<IIconicView> m_iconicFrame;
    unique_hwnd m_captionButtons;
    unique_himagelist m_captionImages;
    HWND m_browserCloseButton = nullptr;  // the browser's, hidden while the panel shows
    unique_hwnd m_toolbar;
    unique_himagelist m_toolbarImages;
    unique_himagelist m_toolbarDisabledImages;
    IDropTarget* m_dropTarget = nullptr;  // the band's; not owned
    bool m_dropRegistered = false;
    bool m_timerRunning = false;
    Settings m_settings;
    // GradientFill of msimg32.dll, when the system has it.
    unique_hmodule m_msimg32;
    decltype(&::GradientFill) m_gradientFill = nullptr;
};

}  // namespace tdm
