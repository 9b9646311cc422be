// The downloads panel: the modeless dialog that fills the explorer bar.
//
// The band object owns the panel, creates its window when it is sited, connects
// it to the engine while the bar is shown and hands it every engine event. The
// panel keeps one row per download in its list (whose records follow the
// engine's events), the main toolbar with the download commands and their
// states, a one-second refresh timer while downloads transfer, and shows the
// notices and questions the engine's events call for.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <oleidl.h>
#include <string>

#include "bar/bar_windows.h"
#include "bar/command_handler.h"
#include "bar/engine_events.h"
#include "bar/iconic_view.h"
#include "bar/list_view.h"
#include "dialogs/help_dialog.h"
#include "engine/engine_link.h"
#include "framework/com_ptr.h"
#include "framework/unique_any.h"
#include "resources/window_messages.h"

namespace tdm {

// The records' copies in row order that the panel sends with kSortedRecords.
using DownloadRecordCopies = std::vector<std::unique_ptr<CTolInfoDownload>>;

class CMyDlg : public CCommandHandlerT<CMyDlg, CHelpDlgT<CMyDlg>>, public IEngineEventHandler
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
    // The connected engine (null: none). With an engine, reads its log setting,
    // language and traffic mode; failures are raised.
    void SetEngine(IDownloadEngine* engine);
    // Makes one row per download of the engine's list; a list of another shape
    // is raised as E_INVALIDARG and makes no row.
    void FillFromEngineList(const VARIANT& list);
    // Removes every row.
    void ClearDownloads() noexcept;
    // Shows the panel with `dropTarget` registered on it, or hides it and
    // revokes the drop target.
    void ShowPanel(bool show, IDropTarget* dropTarget) noexcept;

    // Whether this bar takes an event that one bar of all open browser windows
    // must handle: scope 0 the bar of browser window `owner`, 1 the front-most
    // browser window, 2 and above any bar; other scopes none.
    bool Claim(HWND owner, LONG scope) const noexcept;
    // The browser's top-level window, or null.
    HWND BrowserTopWindow() const noexcept;

    // The command layer's view of the panel.
    CEngine CommandEngine() const { return m_engine; }
    IWebBrowser2* CommandBrowser() const noexcept { return m_browser.get(); }
    // The first selected download, or -1.
    LONG CommandDownloadId() const noexcept;

    // The minimised state: the bar is a strip showing the toolbar frame.
    bool Iconic() const noexcept { return m_iconic; }
    LONG IconicTopOffset() const noexcept { return m_iconicTopOffset; }
    // The frame shown while minimised, which receives every engine event first;
    // null otherwise.
    IIconicView* IconicFrame() const noexcept { return m_iconicFrame.get(); }
    HWND CaptionButtons() const noexcept { return m_captionButtons.get(); }

    CTolListView& List() noexcept { return m_list; }
    HWND Toolbar() const noexcept { return m_toolbar.get(); }
    bool TimerRunning() const noexcept { return m_timerRunning; }

    // IEngineEventHandler: the engine's events for this panel's rows.
    void OnDownloadAdded(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state, LONG priority) override;
    void OnDownloadStateChanged(LONG id, LONG state, double elapsed) override;
    void OnDownloadStopped(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                           VARIANT_BOOL* claimed) override;
    void OnDownloadDeleted(LONG id) override;
    void OnDownloadFileInfo(const FileInfo& info) override;
    void OnResumeSupportChanged(LONG id, bool resumable) override;
    void OnDownloadProgress(const Progress& progress) override;
    void OnDownloadCompleted(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                             VARIANT_BOOL* claimed) override;
    void OnDownloadError(LONG id, LONG state, LONG scope, VARIANT_BOOL* claimed) override;
    void OnDownloadInfoChanged(LONG id, const VARIANT& info) override;
    void OnDownloadRestarted(LONG id, ULONG totalSize, ULONG loadedSize, LONG state, double elapsed) override;
    // Asks the user (the request has been claimed) and answers through the
    // request's by-reference arguments.
    void OnCredentialsRequired(const Credentials& request) override;
    void OnLogOptionChanged(bool logPerDownload) override;
    void OnLanguageChanged(LANGID language) override;
    void OnSectionsChanged(LONG id, const VARIANT& sections) override;
    void OnSectionProgress(LONG id, LONG section, LONG sectionCount, ULONG loadedSize, ULONG sectionLoaded) override;
    void OnSectionFinished(LONG id, LONG section, LONG sectionCount) override;
    void OnPriorityChanged(LONG id, LONG priority) override;
    void OnDownloadRenamed(LONG id, BSTR url, BSTR path) override;
    void OnInterfaceChanged(bool languageResources) override;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_MESSAGE(WM_SIZE, OnSize)
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
        TDM_ON_MESSAGE(kCompletionNotice, OnCompletionNotice)
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
        bool deleteCompleted = false;
        bool start = true;
        bool saveFileDefault = false;
        bool showToolbar = true;
        bool showToolbarLabels = false;
        bool confirmFileOpen = true;
        bool informWhenCompleted = false;
        bool playSounds = false;
    };

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnSize(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnCompletionNotice(UINT, WPARAM wParam, LPARAM lParam, bool&);
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
    // Starts the downloads of `rows` (Start: the selected rows; Start All: all),
    // asking first about finished downloads whose files exist.
    void StartRows(const std::vector<int>& rows, bool all);
    void PauseRows(const std::vector<int>& rows);
    void OpenDownloadedFile(int row);
    // Asks with the caption of the product, owned by the browser's window.
    int Ask(const std::string& text, UINT type) const;
    void PostRelayout() noexcept;

    void ReloadSettings() noexcept;
    void BuildToolbars() noexcept;
    void DestroyToolbars() noexcept;
    void Layout() noexcept;
    // Enables and disables the download commands for download `id` (-1: none).
    void UpdateCommandStates(LONG id) noexcept;
    void DisableDownloadCommands() noexcept;
    // The download commands for the first selected row, or off when none is.
    void RefreshForFirstSelected() noexcept;
    // Command states for `id` when it is the first selected download, else for none.
    void RefreshForSelection(LONG id) noexcept;
    void EnableCommand(WORD command, bool enable) noexcept;
    void StartTimer() noexcept;
    void StopTimer() noexcept;
    // Sorts the list and tells the toolbar of this thread the new order.
    void SortRows() noexcept;
    void SetRecordState(CTolInfoDownload& record, LONG state) noexcept;
    // A stop, completion or restart: elapsed time and state taken, the record
    // fresh, the row redrawn. False when the download has no row.
    bool TakeTimesAndState(LONG id, LONG state, double elapsed) noexcept;
    void CountRecord(const CTolInfoDownload& record, int sign) noexcept;
    void ApplyLanguage(LANGID language, bool force) noexcept;
    void BringBrowserForward() const noexcept;
    // The record and row of download `id`, or null when it has no row.
    CTolInfoDownload* Find(LONG id, int& row) const noexcept;
    // The settled name of a download, or the question of one without a name.
    void NegotiateFileName(const FileInfo& info, CTolInfoDownload& record);

    CEngine m_engine;
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
    bool m_logOption = false;
    LANGID m_language = 0;
    Settings m_settings;
    // Rows whose download is active (running or transferring), and rows complete
    // without being active, kept in step with every insert, delete and state.
    int m_activeRows = 0;
    int m_finishedRows = 0;
    // GradientFill of msimg32.dll, when the system has it.
    unique_hmodule m_msimg32;
    decltype(&::GradientFill) m_gradientFill = nullptr;
};

}  // namespace tdm
