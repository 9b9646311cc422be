#include "downloads/downloads_model.h"

#include <algorithm>
#include <new>
#include <string>

#include "browser/download_creation.h"
#include "dialogs/dialog_controls.h"
#include "downloads/event_questions.h"
#include "downloads/record_events.h"
#include "framework/automation.h"
#include "framework/error.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

// The model of each browser thread; the model clears it when it goes.
thread_local CDownloadsModel* t_model = nullptr;

// Replaces the first "%u" of `text` with `value`.
std::wstring FillNumber(std::wstring text, ULONG value)
{
    const size_t at = text.find(L"%u");
    if (at != std::wstring::npos)
        text.replace(at, 2, std::to_wstring(value));
    return text;
}

bool HasFileName(const CTolInfoDownload& record) noexcept
{
    const UINT length = ::SysStringLen(record.path.get());
    return length != 0 && record.path.get()[length - 1] != L'\\';
}

}  // namespace

com_ptr<CDownloadsModel> CDownloadsModel::ForThisThread()
{
    if (!t_model)
    {
        t_model = new CDownloadsModel();
        t_model->m_notices.Create(HWND_MESSAGE, RECT{}, L"", 0);
    }
    return com_ptr<CDownloadsModel>(t_model);
}

CDownloadsModel::CDownloadsModel() noexcept : m_sink(*this, *this) {}

CDownloadsModel::~CDownloadsModel()
{
    if (t_model == this)
        t_model = nullptr;
    m_notices.DestroyWindow();
}

STDMETHODIMP CDownloadsModel::QueryInterface(REFIID riid, void** ppv)
try
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!::IsEqualIID(riid, IID_IUnknown))
        return E_NOINTERFACE;
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP_(ULONG) CDownloadsModel::AddRef()
try
{
    return ++m_references;
}
TDM_COM_CATCH

STDMETHODIMP_(ULONG) CDownloadsModel::Release()
try
{
    const ULONG left = --m_references;
    if (left == 0)
        delete this;
    return left;
}
TDM_COM_CATCH

// --- views ---------------------------------------------------------------------------

void CDownloadsModel::Advise(IDownloadsObserver* observer)
{
    if (observer && std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void CDownloadsModel::Unadvise(IDownloadsObserver* observer) noexcept
{
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

// Views may advise, unadvise or reorder from inside a notification: each is
// called from a copy of the list, and only while it is still advised.
template <typename Call>
void CDownloadsModel::Notify(Call&& call)
{
    const std::vector<IDownloadsObserver*> observers = m_observers;
    for (IDownloadsObserver* observer : observers)
        if (std::find(m_observers.begin(), m_observers.end(), observer) != m_observers.end())
            call(*observer);
}

void CDownloadsModel::Changed(LONG id, DownloadChange change)
{
    Notify([&](IDownloadsObserver& o) { o.OnDownloadChanged(id, change); });
}

bool CDownloadsModel::Reorder(
    const std::function<bool(const CTolInfoDownload&, const CTolInfoDownload&)>& before) noexcept
{
    try
    {
        if (!m_store.Reorder(before))
            return false;
    }
    catch (const std::bad_alloc&)
    {
        // The downloads stay in the order they had.
        TraceCaughtException(__FILE__, __LINE__);
        return false;
    }
    Notify([](IDownloadsObserver& o) { o.OnOrderChanged(); });
    return true;
}

void CDownloadsModel::Fill(const VARIANT& list)
{
    std::vector<std::unique_ptr<CTolInfoDownload>> records;
    RaiseIfFailed(MakeRecordsFromList(list, records), IID_IDownloadEngine);
    m_store.Clear();
    m_store.Reserve(records.size());
    for (std::unique_ptr<CTolInfoDownload>& record : records)
    {
        record->UpdateProgress();
        m_store.Append(std::move(record));
    }
    Notify([](IDownloadsObserver& o) { o.OnDownloadsReset(); });
}

void CDownloadsModel::Reset() noexcept
{
    m_store.Clear();
    Notify([](IDownloadsObserver& o) { o.OnDownloadsReset(); });
}

// --- the engine ----------------------------------------------------------------------

void CDownloadsModel::Connect(IWebBrowser2* browser)
{
    if (m_connections > 0)
    {
        ++m_connections;
        if (!m_browser && browser)
            m_browser = com_ptr<IWebBrowser2>(browser);
        return;
    }
    try
    {
        m_browser = com_ptr<IWebBrowser2>(browser);
        m_engine = CEngine::Create();
        m_connection.Connect(m_engine.get(), static_cast<_IDownloadEngineEvents*>(&m_sink));
        (void)m_engine.GetOptions(-1);
        m_logPerDownload = m_engine.GetLogSettings().logPerDownload;
        const LANGID language = m_engine.GetLanguage();
        (void)m_engine.GetTrafficMode();
        unique_variant list;
        m_engine.GetDownloadList(list);
        Fill(*list.get());
        if (language != GetUiLanguage())
            SetUiLanguage(language);
        Notify([](IDownloadsObserver& o) { o.OnTextsChanged(); });
    }
    catch (...)
    {
        LOG_IF_FAILED(m_connection.Disconnect());
        m_engine.reset();
        m_browser.reset();
        Reset();
        throw;
    }
    m_connections = 1;
}

void CDownloadsModel::Disconnect() noexcept
{
    if (m_connections == 0 || --m_connections > 0)
        return;
    LOG_IF_FAILED(m_connection.Disconnect());
    m_engine.reset();
    m_browser.reset();
    Reset();
}

HWND CDownloadsModel::BrowserTopWindow() const noexcept
{
    return m_browser ? BrowserOwnerWindow(m_browser.get()) : nullptr;
}

bool CDownloadsModel::Claim(HWND owner, LONG scope) const noexcept
{
    return ClaimNotice(BrowserTopWindow(), owner, scope);
}

// --- notices -------------------------------------------------------------------------

void CDownloadsModel::PostNotice(LONG id, LPARAM kind) noexcept
{
    if (m_notices.Window())
        ::PostMessageW(m_notices.Window(), kCompletionNotice, static_cast<WPARAM>(id), kind);
}

bool CDownloadsModel::CNoticeWindow::ProcessMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam,
                                                    LRESULT& result)
{
    // Creation and destruction messages come while no reference is held: one
    // taken then would delete the model.
    if (message != kCompletionNotice || m_model.m_references == 0)
        return false;
    const com_ptr<CDownloadsModel> model(&m_model);
    try
    {
        model->ShowCompletionNotice(static_cast<LONG>(wParam), lParam);
    }
    catch (const CComError& error)
    {
        ShowComError(error);
    }
    catch (...)
    {
        // Handled here, not by the framework's boundary: the model may be gone
        // once the reference above is, and the message must not go on.
        TraceCaughtException(__FILE__, __LINE__);
    }
    result = 0;
    return true;
}

void CDownloadsModel::ShowCompletionNotice(LONG id, LPARAM kind)
{
    const bool notifications = GetNotifications();
    const bool playSounds = notifications && GetPlaySounds();
    const bool inform = notifications && GetInformWhenCompleted();
    if (kind != kNoticeCompleted)
    {
        if (playSounds)
            ::MessageBeep(MB_ICONEXCLAMATION);
        return;
    }
    if (playSounds)
        ::MessageBeep(MB_OK);
    const CTolInfoDownload* record = Find(id);
    if (!record)
        return;
    if (inform)
    {
        BringForward(BrowserTopWindow());
        std::wstring text = FillTemplate(LoadUiStringW(IDS_DOWNLOAD_COMPLETED_FMT),
                                         {WideFromBstr(record->url.get()), WideFromBstr(record->path.get())});
        text += L"\n" + FillNumber(LoadUiStringW(IDS_BYTES_RECEIVED_FMT), record->loadedSize);
        if (record->totalSize != 0)
            text += L" " + FillNumber(LoadUiStringW(IDS_FILE_SIZE_FMT), record->totalSize);
        CFocusRestorer focus;
        ShowMessageBox(text, BrowserTopWindow(), MB_ICONHAND);
        // The box ran a message loop: the download may be gone meanwhile.
        record = Find(id);
    }
    if (record && record->IsComplete() && GetDelete() && m_engine)
        m_engine.DeleteDownload(id);
}

// --- engine events -------------------------------------------------------------------

CTolInfoDownload* CDownloadsModel::TakeTimesAndState(LONG id, LONG state, double elapsed) noexcept
{
    CTolInfoDownload* record = Find(id);
    if (!record)
        return nullptr;
    record->elapsed = TimeSpan::FromDays(elapsed);
    m_store.SetState(*record, state);
    record->fresh = true;
    return record;
}

void CDownloadsModel::OnDownloadAdded(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state, LONG priority)
{
    if (Find(id))
        return;
    Insert(MakeAddedRecord(id, url, folder, fileName, state, priority));
}

bool CDownloadsModel::Insert(std::unique_ptr<CTolInfoDownload> record)
{
    if (!record)
        return false;
    const LONG id = record->id;
    record->UpdateProgress();
    if (!m_store.Append(std::move(record)))
        return false;
    Notify([&](IDownloadsObserver& o) { o.OnDownloadAdded(id); });
    return true;
}

void CDownloadsModel::OnDownloadStateChanged(LONG id, LONG state, double elapsed)
{
    CTolInfoDownload* record = Find(id);
    if (!record)
        return;
    record->elapsed = TimeSpan::FromDays(elapsed);
    m_store.SetState(*record, state);
    record->fresh = false;
    Changed(id, DownloadChange::Row);
}

void CDownloadsModel::OnDownloadStopped(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                                        VARIANT_BOOL* claimed)
{
    if (scope == 0 && TakeTimesAndState(id, state, elapsed))
        Changed(id, DownloadChange::Row);
    if ((state & kStateError) != 0 && *claimed == VARIANT_FALSE && Claim(owner, scope))
    {
        *claimed = VARIANT_TRUE;
        PostNotice(id, kNoticeStopped);
    }
}

void CDownloadsModel::OnDownloadCompleted(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                                          VARIANT_BOOL* claimed)
{
    if (scope == 0)
    {
        if (CTolInfoDownload* record = TakeTimesAndState(id, state, elapsed))
        {
            LookUpIcon(*record);
            Changed(id, DownloadChange::Row);
        }
    }
    if (*claimed == VARIANT_FALSE && Claim(owner, scope))
    {
        *claimed = VARIANT_TRUE;
        PostNotice(id, kNoticeCompleted);
    }
}

void CDownloadsModel::OnDownloadError(LONG id, LONG state, LONG scope, VARIANT_BOOL* claimed)
{
    CTolInfoDownload* record = scope == 0 ? Find(id) : nullptr;
    if (record)
        m_store.SetState(*record, state);
    *claimed = VARIANT_TRUE;
    if (record)
        Changed(id, DownloadChange::Row);
}

void CDownloadsModel::OnDownloadDeleted(LONG id) { Remove(id); }

void CDownloadsModel::Remove(LONG id)
{
    const int index = m_store.IndexOf(id);
    if (index < 0)
        return;
    Notify([&](IDownloadsObserver& o) { o.OnDownloadRemoving(id, index); });
    // A view may have asked something of the engine meanwhile; the position is
    // looked up again.
    const int removed = m_store.Remove(id);
    if (removed >= 0)
        Notify([&](IDownloadsObserver& o) { o.OnDownloadRemoved(id, removed); });
}

void CDownloadsModel::OnDownloadFileInfo(const FileInfo& info)
{
    CTolInfoDownload* record = Find(info.id);
    if (!record)
        return;
    record->totalSize = info.totalSize;
    record->loadedSize = info.loadedSize;
    if (!record->sections.empty())
        record->sections.front().length = info.totalSize != 0 ? info.totalSize : static_cast<ULONG>(-1);
    record->UpdateProgress();
    if (*info.claimed != VARIANT_FALSE)
    {
        // Settled (by this thread or another): take the name the engine now reports.
        if (!SetText(record->path, JoinPath(TextOf(*info.folder), TextOf(*info.fileName))))
            throw std::bad_alloc();
        m_store.SetState(*record, info.state);
        LookUpIcon(*record);
        Changed(info.id, DownloadChange::Row);
        return;
    }
    Changed(info.id, DownloadChange::Transfer);
    const LONG id = info.id;
    const bool hasFileName = HasFileName(*record);
    // Nothing is read from `record` after this: the question runs a message loop.
    AskFileName(info, hasFileName, GetSaveFileDefault(), BrowserTopWindow(),
                [&] {
                    if (!Claim(info.owner, info.scope))
                        return false;
                    BringForward(BrowserTopWindow());
                    return true;
                },
                [&](const std::wstring& path) { return m_store.FindOtherByPath(id, path); });
}

void CDownloadsModel::OnResumeSupportChanged(LONG id, bool resumable)
{
    if (CTolInfoDownload* record = Find(id))
    {
        record->resumable = resumable ? 1 : 0;
        Changed(id, DownloadChange::Redraw);
    }
}

void CDownloadsModel::OnDownloadProgress(const Progress& progress)
{
    if (CTolInfoDownload* record = Find(progress.id))
    {
        ApplyProgress(*record, progress);
        Changed(progress.id, DownloadChange::Transfer);
    }
}

void CDownloadsModel::OnDownloadInfoChanged(LONG id, const VARIANT& info)
{
    CTolInfoDownload* record = Find(id);
    if (!record)
        return;
    CDownloadListReader reader;
    ULONG loaded = 0;
    std::vector<SectionInfo> sections;
    if (FAILED(LOG_IF_FAILED(reader.Open(info))) || reader.RowCount() != 1 ||
        FAILED(LOG_IF_FAILED(reader.ReadUInt(0, kColumnLoadedSize, loaded))) ||
        FAILED(LOG_IF_FAILED(reader.ReadSections(0, kColumnSections, sections))))
        return;
    record->loadedSize = loaded;
    record->sections = std::move(sections);
    record->UpdateProgress();
    Changed(id, DownloadChange::Row);
}

void CDownloadsModel::OnDownloadRestarted(LONG id, ULONG, ULONG, LONG state, double elapsed)
{
    if (TakeTimesAndState(id, state, elapsed))
        Changed(id, DownloadChange::Row);
}

void CDownloadsModel::OnCredentialsRequired(const Credentials& request)
{
    if (*request.claimed != VARIANT_FALSE || !Claim(request.owner, request.scope))
        return;
    *request.claimed = VARIANT_TRUE;
    AnswerCredentials(request, BrowserTopWindow());
}

void CDownloadsModel::OnLogOptionChanged(bool logPerDownload)
{
    m_logPerDownload = logPerDownload;
    Notify([](IDownloadsObserver& o) { o.OnLogOptionChanged(); });
}

void CDownloadsModel::OnLanguageChanged(LANGID language)
{
    if (language != GetUiLanguage())
        SetUiLanguage(language);
    Notify([](IDownloadsObserver& o) { o.OnTextsChanged(); });
}

void CDownloadsModel::OnSectionsChanged(LONG id, const VARIANT& sections)
{
    CTolInfoDownload* record = Find(id);
    std::vector<SectionInfo> read;
    if (!record || FAILED(LOG_IF_FAILED(ReadSectionArray(sections, read))))
        return;
    record->sections = std::move(read);
    Changed(id, DownloadChange::Redraw);
}

void CDownloadsModel::OnSectionProgress(LONG id, LONG section, LONG sectionCount, ULONG loadedSize,
                                        ULONG sectionLoaded)
{
    CTolInfoDownload* record = Find(id);
    if (!record)
        return;
    if (loadedSize != record->loadedSize)
    {
        record->loadedSize = loadedSize;
        record->UpdateProgress();
    }
    if (sectionCount > 1 && section >= 1 && static_cast<size_t>(section) <= record->sections.size())
        record->sections[static_cast<size_t>(section) - 1].loaded = sectionLoaded;
    Changed(id, DownloadChange::Redraw);
}

void CDownloadsModel::OnSectionFinished(LONG id, LONG section, LONG sectionCount)
{
    CTolInfoDownload* record = Find(id);
    if (!record || sectionCount <= 1 || section < 1 || static_cast<size_t>(section) > record->sections.size())
        return;
    record->sections[static_cast<size_t>(section) - 1].done = true;
    Changed(id, DownloadChange::Redraw);
}

void CDownloadsModel::OnPriorityChanged(LONG id, LONG priority)
{
    if (CTolInfoDownload* record = Find(id))
    {
        record->priority = priority;
        Changed(id, DownloadChange::Row);
    }
}

void CDownloadsModel::OnDownloadRenamed(LONG id, BSTR url, BSTR path)
{
    CTolInfoDownload* record = Find(id);
    if (!record)
        return;
    if (!SetText(record->url, TextOf(url)) || !SetText(record->path, TextOf(path)))
        throw std::bad_alloc();
    LookUpIcon(*record);
    Changed(id, DownloadChange::Row);
}

void CDownloadsModel::OnInterfaceChanged(bool)
{
    Notify([](IDownloadsObserver& o) { o.OnTextsChanged(); });
}

}  // namespace tdm
