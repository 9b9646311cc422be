// The downloads model of one browser thread: the downloads the engine reports,
// the engine connection with its event sink, and what the engine's events do.
//
// The explorer bar and the toolbar band of a thread share one model. It is
// connected to the engine while at least one of them is shown, and holds no
// engine and no downloads while none is. Every view (the bar's list, the toolbar
// frames, their indicators, the minimised bar's strip) reads the model's records
// in the model's order and follows its changes through IDownloadsObserver; no
// view keeps records of its own.
//
// The events that one window of all must handle (a completion notice, a file
// name or credentials to ask for) are claimed here, once per thread, and the
// questions are asked here, owned by the browser's top-level window.
#pragma once

#include <windows.h>
#include <exdisp.h>

#include <vector>

#include "downloads/download_store.h"
#include "downloads/engine_events.h"
#include "engine/engine_link.h"
#include "framework/com_ptr.h"
#include "framework/window.h"
#include "resources/window_messages.h"

namespace tdm {

// What changed in one download's record, from the least to the most a view
// has to recompute.
enum class DownloadChange
{
    Redraw,    // sections, resume support: draw again
    Transfer,  // sizes, bytes, speeds
    Row,       // state, times, name, URL, priority: every cell
};

// A view of the downloads. Every method has a do-nothing default. A view may
// call back into the model (read records, reorder) from a notification.
class IDownloadsObserver
{
public:
    // The whole list was read from the engine, or emptied.
    virtual void OnDownloadsReset() {}
    // A download was appended at the end of the order.
    virtual void OnDownloadAdded(LONG id) {}
    // Download `id` at position `index` is about to go; its record is still there.
    virtual void OnDownloadRemoving(LONG id, int index) {}
    // Download `id`, formerly at position `index`, is gone.
    virtual void OnDownloadRemoved(LONG id, int index) {}
    virtual void OnDownloadChanged(LONG id, DownloadChange change) {}
    // The order changed (a sort).
    virtual void OnOrderChanged() {}
    // The interface language or resources changed: texts and command states
    // are to be built again.
    virtual void OnTextsChanged() {}
    // The engine's per-download log setting changed.
    virtual void OnLogOptionChanged() {}

protected:
    ~IDownloadsObserver() = default;
};

class CDownloadsModel final : public IUnknown, private IEngineEventHandler
{
public:
    // The model of the calling thread, made on first use; it lives while
    // references to it are held.
    static com_ptr<CDownloadsModel> ForThisThread();

    CDownloadsModel(const CDownloadsModel&) = delete;
    CDownloadsModel& operator=(const CDownloadsModel&) = delete;

    // IUnknown: the model is reference counted on its thread only.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // --- the downloads --------------------------------------------------------
    const CDownloadStore& Downloads() const noexcept { return m_store; }
    CTolInfoDownload* Find(LONG id) const noexcept { return m_store.Find(id); }
    // Puts the downloads in the order `before` gives and tells the views. True
    // when the order changed; false when it was already so or memory ran out.
    bool Reorder(const std::function<bool(const CTolInfoDownload&, const CTolInfoDownload&)>& before) noexcept;
    // Appends a download at the end of the order and tells the views; false
    // (and the record dropped) when its id is there already.
    bool Insert(std::unique_ptr<CTolInfoDownload> record);
    // Removes download `id` and tells the views.
    void Remove(LONG id);
    // Takes the engine's whole list (raised as E_INVALIDARG when it has another
    // shape, and then nothing changes) in place of the downloads held.
    void Fill(const VARIANT& list);

    // --- the engine -----------------------------------------------------------
    // A shown bar or toolbar takes the connection: the first one creates the
    // engine, connects the sink, reads the engine's settings and its list. That
    // is all or nothing: a failure leaves no engine and no downloads, and is
    // raised, so that the next Connect tries again.
    void Connect(IWebBrowser2* browser);
    // A hidden bar or toolbar gives its connection back; the last one drops the
    // engine and empties the downloads.
    void Disconnect() noexcept;
    bool Connected() const noexcept { return static_cast<bool>(m_engine); }
    CEngine Engine() const { return m_engine; }
    IWebBrowser2* Browser() const noexcept { return m_browser.get(); }
    // The browser's top-level window, or null.
    HWND BrowserTopWindow() const noexcept;
    bool LogPerDownload() const noexcept { return m_logPerDownload; }
    // The engine's event sink (for the benchmark and the tests).
    IDispatch* EventSink() noexcept { return &m_sink; }

    // --- views ----------------------------------------------------------------
    void Advise(IDownloadsObserver* observer);
    void Unadvise(IDownloadsObserver* observer) noexcept;

    // Whether this thread's browser window takes an event that one window of
    // all must handle (the claim rule of ClaimNotice).
    bool Claim(HWND owner, LONG scope) const noexcept;
    // The completion notice: sounds, the summary box, the deletion of a
    // completed download with the Delete setting.
    void ShowCompletionNotice(LONG id, LPARAM kind);

private:
    // The model's message-only window, a member of the model, which shows the
    // completion notices.
    class CNoticeWindow : public CWindowImplT<CNoticeWindow>
    {
    public:
        explicit CNoticeWindow(CDownloadsModel& model) noexcept : m_model(model) {}
        static const wchar_t* ClassName() noexcept { return L"TolvaneDownloadsNotices"; }
        // The window procedure. A notice's box runs a message loop in which the
        // last view may let the model go: the procedure holds a reference for
        // as long as it runs, so that the model, with this window, goes only as
        // its last step, after which nothing of either is touched.
        bool ProcessMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    private:
        CDownloadsModel& m_model;
    };

    CDownloadsModel() noexcept;
    ~CDownloadsModel();

    template <typename Call>
    void Notify(Call&& call);
    void Changed(LONG id, DownloadChange change);
    void Reset() noexcept;
    void PostNotice(LONG id, LPARAM kind) noexcept;
    // A stop, completion or restart: elapsed time and state taken, the record fresh.
    CTolInfoDownload* TakeTimesAndState(LONG id, LONG state, double elapsed) noexcept;

    // IEngineEventHandler
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
    void OnCredentialsRequired(const Credentials& request) override;
    void OnLogOptionChanged(bool logPerDownload) override;
    void OnLanguageChanged(LANGID language) override;
    void OnSectionsChanged(LONG id, const VARIANT& sections) override;
    void OnSectionProgress(LONG id, LONG section, LONG sectionCount, ULONG loadedSize, ULONG sectionLoaded) override;
    void OnSectionFinished(LONG id, LONG section, LONG sectionCount) override;
    void OnPriorityChanged(LONG id, LONG priority) override;
    void OnDownloadRenamed(LONG id, BSTR url, BSTR path) override;
    void OnInterfaceChanged(bool languageResources) override;

    ULONG m_references = 0;
    CDownloadStore m_store;
    std::vector<IDownloadsObserver*> m_observers;
    CEngine m_engine;
    com_ptr<IWebBrowser2> m_browser;
    CEngineEventSink m_sink;
    CEngineEventConnection m_connection;
    int m_connections = 0;
    bool m_logPerDownload = false;
    CNoticeWindow m_notices{*this};
};

}  // namespace tdm
