#include "engine_server/engine_object.h"

#include <olectl.h>

#include <algorithm>
#include <deque>
#include <mutex>

#include "engine_server/engine_text.h"
#include "framework/lock.h"
#include "framework/error.h"

namespace tdm::engine {

namespace {

#define ENGINE_INTERFACES(...)                                      \
    static const InterfaceEntry* Interfaces(size_t* count) noexcept \
    {                                                               \
        static const InterfaceEntry entries[] = {__VA_ARGS__};      \
        *count = sizeof(entries) / sizeof(entries[0]);              \
        return entries;                                             \
    }

std::wstring TextOf(BSTR text) { return text ? std::wstring(text, ::SysStringLen(text)) : std::wstring(); }

HRESULT CopyText(const std::wstring& text, BSTR* out) noexcept
{
    RETURN_HR_IF_NULL(E_POINTER, out);
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Everything one call of a client asks of aria2 ends within this time: a slow
// or hung aria2 makes the call fail with ERROR_TIMEOUT, not hang the client.
constexpr DWORD kCallDeadlineMs = 10000;

// Leaves the core's failure text as the error information of a failed call.
HRESULT Failed(HRESULT hr) noexcept
{
    if (SUCCEEDED(hr))
        return hr;
    com_ptr<ICreateErrorInfo> create;
    if (SUCCEEDED(::CreateErrorInfo(create.put())))
    {
        const std::wstring text = WideFromUtf8(CEngineServer::Instance().Core().LastError());
        create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
        create->SetSource(const_cast<LPOLESTR>(L"Tolvane.DownloadEngine"));
        create->SetGUID(IID_IDownloadEngine);
    }
    ::SetErrorInfo(0, create.try_query<IErrorInfo>().get());
    return hr;
}

// An option object: a copy of a download's options (or of new downloads').
class COptions : public CObjectRoot, public CDispatchImpl<IDownloadOptions>
{
public:
    ENGINE_INTERFACES(TDM_INTERFACE(COptions, IDownloadOptions), TDM_INTERFACE_VIA(COptions, IDispatch, IDownloadOptions))

    static HRESULT Create(const DownloadOptionsData& values, IDownloadOptions** options) noexcept
    {
        CComObject<COptions>* object = nullptr;
        RETURN_IF_FAILED(CComObject<COptions>::CreateInstance(&object));
        object->AddRef();
        try
        {
            object->m_values = values;
        }
        catch (...)
        {
            object->Release();
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = object->QueryInterface(IID_IDownloadOptions, reinterpret_cast<void**>(options));
        object->Release();
        return hr;
    }

    // IDownloadOptions
#define ENGINE_TEXT_OPTION(Name, field)                                                   \
    STDMETHODIMP get_##Name(BSTR* value) override                                         \
    try                                                                                   \
    {                                                                                     \
        return CopyText(m_values.field, value);                                           \
    }                                                                                     \
    TDM_COM_CATCH                                                                         \
    STDMETHODIMP put_##Name(BSTR value) override                                          \
    try                                                                                   \
    {                                                                                     \
        m_values.field = TextOf(value);                                                   \
        return S_OK;                                                                      \
    }                                                                                     \
    TDM_COM_CATCH
#define ENGINE_NUMBER_OPTION(Name, field)                                                 \
    STDMETHODIMP get_##Name(long* value) override                                         \
    try                                                                                   \
    {                                                                                     \
        RETURN_HR_IF_NULL(E_POINTER, value);                                              \
        *value = m_values.field;                                                          \
        return S_OK;                                                                      \
    }                                                                                     \
    TDM_COM_CATCH                                                                         \
    STDMETHODIMP put_##Name(long value) override                                          \
    try                                                                                   \
    {                                                                                     \
        m_values.field = value;                                                           \
        return S_OK;                                                                      \
    }                                                                                     \
    TDM_COM_CATCH
#define ENGINE_FLAG_OPTION(Name, field)                                                   \
    STDMETHODIMP get_##Name(VARIANT_BOOL* value) override                                 \
    try                                                                                   \
    {                                                                                     \
        RETURN_HR_IF_NULL(E_POINTER, value);                                              \
        *value = m_values.field ? VARIANT_TRUE : VARIANT_FALSE;                           \
        return S_OK;                                                                      \
    }                                                                                     \
    TDM_COM_CATCH                                                                         \
    STDMETHODIMP put_##Name(VARIANT_BOOL value) override                                  \
    try                                                                                   \
    {                                                                                     \
        m_values.field = value != VARIANT_FALSE;                                          \
        return S_OK;                                                                      \
    }                                                                                     \
    TDM_COM_CATCH
    ENGINE_TEXT_OPTION(Url, url)
    ENGINE_NUMBER_OPTION(IntegerOption1, timeoutSeconds)
    ENGINE_TEXT_OPTION(LocalPath, localPath)
    ENGINE_TEXT_OPTION(UserName, userName)
    ENGINE_TEXT_OPTION(Password, password)
    ENGINE_FLAG_OPTION(UseProxy, useProxy)
    ENGINE_FLAG_OPTION(UseIEProxySettings, useIEProxySettings)
    ENGINE_TEXT_OPTION(ProxyUserName, proxyUserName)
    ENGINE_TEXT_OPTION(ProxyPassword, proxyPassword)
    ENGINE_TEXT_OPTION(ProxyServers, proxyServers)
    ENGINE_NUMBER_OPTION(IntegerOption2, retries)
    ENGINE_TEXT_OPTION(ProxyBypass, proxyBypass)
    ENGINE_NUMBER_OPTION(MaxRedirections, maxRedirections)
    ENGINE_FLAG_OPTION(FtpPassive, ftpPassive)
#undef ENGINE_TEXT_OPTION
#undef ENGINE_NUMBER_OPTION
#undef ENGINE_FLAG_OPTION

private:
    DownloadOptionsData m_values;
};

// Reads an option object through its interface (ours or a client's own).
HRESULT ReadOptions(IDownloadOptions* options, DownloadOptionsData& values) noexcept
try
{
    RETURN_HR_IF_NULL(E_INVALIDARG, options);
    const auto text = [&](HRESULT (STDMETHODCALLTYPE IDownloadOptions::*get)(BSTR*), std::wstring& field) {
        BSTR value = nullptr;
        const HRESULT hr = (options->*get)(&value);
        field = TextOf(value);
        ::SysFreeString(value);
        return hr;
    };
    const auto flag = [&](HRESULT (STDMETHODCALLTYPE IDownloadOptions::*get)(VARIANT_BOOL*), bool& field) {
        VARIANT_BOOL value = VARIANT_FALSE;
        const HRESULT hr = (options->*get)(&value);
        field = value != VARIANT_FALSE;
        return hr;
    };
    RETURN_IF_FAILED(text(&IDownloadOptions::get_Url, values.url));
    RETURN_IF_FAILED(options->get_IntegerOption1(&values.timeoutSeconds));
    RETURN_IF_FAILED(text(&IDownloadOptions::get_LocalPath, values.localPath));
    RETURN_IF_FAILED(text(&IDownloadOptions::get_UserName, values.userName));
    RETURN_IF_FAILED(text(&IDownloadOptions::get_Password, values.password));
    RETURN_IF_FAILED(flag(&IDownloadOptions::get_UseProxy, values.useProxy));
    RETURN_IF_FAILED(flag(&IDownloadOptions::get_UseIEProxySettings, values.useIEProxySettings));
    RETURN_IF_FAILED(text(&IDownloadOptions::get_ProxyUserName, values.proxyUserName));
    RETURN_IF_FAILED(text(&IDownloadOptions::get_ProxyPassword, values.proxyPassword));
    RETURN_IF_FAILED(text(&IDownloadOptions::get_ProxyServers, values.proxyServers));
    RETURN_IF_FAILED(options->get_IntegerOption2(&values.retries));
    RETURN_IF_FAILED(text(&IDownloadOptions::get_ProxyBypass, values.proxyBypass));
    RETURN_IF_FAILED(options->get_MaxRedirections(&values.maxRedirections));
    RETURN_IF_FAILED(flag(&IDownloadOptions::get_FtpPassive, values.ftpPassive));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// The engine object. One instance serves every client of the process (its
// class object is a singleton); it is its own event connection point.
class CDownloadEngine : public CObjectRoot,
                        public CDispatchImpl<IDownloadEngine2>,
                        public IConnectionPointContainer,
                        public IConnectionPoint,
                        public ISupportErrorInfo
{
public:
    ENGINE_INTERFACES(TDM_INTERFACE(CDownloadEngine, IDownloadEngine),
                      TDM_INTERFACE(CDownloadEngine, IDownloadEngine2),
                      TDM_INTERFACE_VIA(CDownloadEngine, IDispatch, IDownloadEngine2),
                      TDM_INTERFACE(CDownloadEngine, IConnectionPointContainer),
                      TDM_INTERFACE(CDownloadEngine, IConnectionPoint),
                      TDM_INTERFACE(CDownloadEngine, ISupportErrorInfo))

    // IDownloadEngine
    STDMETHODIMP AddUrl(BSTR url, BSTR folder, long owner, VARIANT_BOOL start, long position, BSTR cookie) override
    try
    {
        return AddUrlWith(url, folder, owner, start, position, cookie, {});
    }
    TDM_COM_CATCH
    STDMETHODIMP StartDownload(long id, long owner, BSTR cookie) override
    try
    {
        const auto deadline = Deadline();
        return Failed(Core().Start(id, owner, TextOf(cookie)));
    }
    TDM_COM_CATCH
    STDMETHODIMP PauseDownload(long id, long owner) override
    try
    {
        const auto deadline = Deadline();
        return Failed(Core().Pause(id, owner));
    }
    TDM_COM_CATCH
    STDMETHODIMP DeleteDownload(long id) override
    try
    {
        const auto deadline = Deadline();
        return Failed(Core().Delete(id));
    }
    TDM_COM_CATCH
    STDMETHODIMP GetDownloadLog(long id, BSTR* log) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, log);
        *log = nullptr;
        std::wstring text;
        RETURN_IF_FAILED(Failed(Core().GetLog(id, text)));
        return CopyText(text, log);
    }
    TDM_COM_CATCH
    STDMETHODIMP GetOptions(long id, IDownloadOptions** options) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, options);
        *options = nullptr;
        DownloadOptionsData values;
        RETURN_IF_FAILED(Failed(Core().GetOptions(id, values)));
        return COptions::Create(values, options);
    }
    TDM_COM_CATCH
    STDMETHODIMP SetOptions(long id, long owner, IDownloadOptions* options) override
    try
    {
        const auto deadline = Deadline();
        DownloadOptionsData values;
        RETURN_IF_FAILED(ReadOptions(options, values));
        return Failed(Core().SetOptions(id, owner, values));
    }
    TDM_COM_CATCH
    STDMETHODIMP GetLogSettings(VARIANT_BOOL* commonLog, long* days, VARIANT_BOOL* perDownload) override
    try
    {
        RETURN_HR_IF(E_POINTER, !commonLog || !days || !perDownload);
        const EngineSettings& settings = Core().Settings();
        *commonLog = settings.keepCommonLog ? VARIANT_TRUE : VARIANT_FALSE;
        *days = settings.daysToKeep;
        *perDownload = settings.logPerDownload ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    TDM_COM_CATCH
    STDMETHODIMP SetLogSettings(VARIANT_BOOL commonLog, long days, VARIANT_BOOL perDownload) override
    try
    {
        return Failed(Core().SetLogSettings(commonLog != VARIANT_FALSE, days, perDownload != VARIANT_FALSE));
    }
    TDM_COM_CATCH
    STDMETHODIMP GetLanguage(unsigned short* language) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, language);
        *language = Core().Settings().language;
        return S_OK;
    }
    TDM_COM_CATCH
    STDMETHODIMP SetLanguage(unsigned short language) override
    try
    {
        return Failed(Core().SetLanguage(language));
    }
    TDM_COM_CATCH
    STDMETHODIMP GetKeepDescriptionFile(VARIANT_BOOL* keep) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, keep);
        *keep = Core().Settings().keepDescriptionFile ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    TDM_COM_CATCH
    STDMETHODIMP SetKeepDescriptionFile(VARIANT_BOOL keep) override
    try
    {
        return Failed(Core().SetKeepDescriptionFile(keep != VARIANT_FALSE));
    }
    TDM_COM_CATCH
    STDMETHODIMP GetTrafficMode(long* mode) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, mode);
        *mode = Core().Settings().trafficMode;
        return S_OK;
    }
    TDM_COM_CATCH
    STDMETHODIMP SetTrafficMode(long mode) override
    try
    {
        const auto deadline = Deadline();
        return Failed(Core().SetTrafficMode(mode));
    }
    TDM_COM_CATCH
    STDMETHODIMP AddDownload(IDownloadOptions* options, long owner, VARIANT_BOOL start, long position,
                             BSTR cookie) override
    try
    {
        return AddDownloadWith(options, owner, start, position, cookie, {});
    }
    TDM_COM_CATCH
    STDMETHODIMP GetDownloadList(VARIANT* list) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, list);
        ::VariantInit(list);
        return Failed(Core().GetDownloadList(*list));
    }
    TDM_COM_CATCH

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, points);
        *points = nullptr;
        return E_NOTIMPL;
    }
    TDM_COM_CATCH
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, point);
        *point = nullptr;
        RETURN_HR_IF(CONNECT_E_NOCONNECTION, !::IsEqualIID(riid, DIID__IDownloadEngineEvents));
        (*point = this)->AddRef();
        return S_OK;
    }
    TDM_COM_CATCH

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, iid);
        *iid = DIID__IDownloadEngineEvents;
        return S_OK;
    }
    TDM_COM_CATCH
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, container);
        (*container = this)->AddRef();
        return S_OK;
    }
    TDM_COM_CATCH
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override
    try
    {
        return CEngineServer::Instance().Advise(sink, cookie);
    }
    TDM_COM_CATCH
    STDMETHODIMP Unadvise(DWORD cookie) override
    try
    {
        return CEngineServer::Instance().Unadvise(cookie);
    }
    TDM_COM_CATCH
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, connections);
        *connections = nullptr;
        return E_NOTIMPL;
    }
    TDM_COM_CATCH

    // IDownloadEngine2
    STDMETHODIMP AddUrlFromPage(BSTR url, BSTR folder, long owner, VARIANT_BOOL start, long position, BSTR cookie,
                                BSTR referrer, BSTR userAgent) override
    try
    {
        return AddUrlWith(url, folder, owner, start, position, cookie, {TextOf(referrer), TextOf(userAgent)});
    }
    TDM_COM_CATCH
    STDMETHODIMP AddDownloadFromPage(IDownloadOptions* options, long owner, VARIANT_BOOL start, long position,
                                     BSTR cookie, BSTR referrer, BSTR userAgent) override
    try
    {
        return AddDownloadWith(options, owner, start, position, cookie, {TextOf(referrer), TextOf(userAgent)});
    }
    TDM_COM_CATCH
    STDMETHODIMP GetConnections(long* connections) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, connections);
        *connections = Core().Settings().connections;
        return S_OK;
    }
    TDM_COM_CATCH
    STDMETHODIMP SetConnections(long connections) override
    try
    {
        return Failed(Core().SetConnections(connections));
    }
    TDM_COM_CATCH

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override
    try
    {
        return ::IsEqualIID(iid, IID_IDownloadEngine) || ::IsEqualIID(iid, IID_IDownloadEngine2) ? S_OK : S_FALSE;
    }
    TDM_COM_CATCH

private:
    HRESULT AddUrlWith(BSTR url, BSTR folder, long owner, VARIANT_BOOL start, long position, BSTR cookie,
                       const RequestHeaders& headers)
    {
        const auto deadline = Deadline();
        DownloadOptionsData options;
        RETURN_IF_FAILED(Core().GetOptions(-1, options));
        options.url = TextOf(url);
        options.localPath = TextOf(folder);
        if (!options.localPath.empty() && options.localPath.back() != L'\\')
            options.localPath += L'\\';
        return Failed(Core().AddDownload(options, owner, start != VARIANT_FALSE, position, TextOf(cookie), headers));
    }
    HRESULT AddDownloadWith(IDownloadOptions* options, long owner, VARIANT_BOOL start, long position, BSTR cookie,
                            const RequestHeaders& headers)
    {
        const auto deadline = Deadline();
        DownloadOptionsData values;
        RETURN_IF_FAILED(ReadOptions(options, values));
        return Failed(Core().AddDownload(values, owner, start != VARIANT_FALSE, position, TextOf(cookie), headers));
    }

    static CEngineCore& Core() noexcept { return CEngineServer::Instance().Core(); }
    static CAria2Backend::CallDeadline Deadline() noexcept { return {Core().Backend(), kCallDeadlineMs}; }
};

}  // namespace

const ClassEntry kEngineClasses[1] = {
    {&CLSID_DownloadEngine, 101, &CSingletonClassFactory<CDownloadEngine>::Create, nullptr},
};

// --- event delivery -------------------------------------------------------------------

namespace {

// How long a client may keep a question (the file name, credentials) before
// the next client gets it, and an event with a claimed flag before the next
// client gets that.
constexpr DWORD kQuestionTurnMs = 60000;
constexpr DWORD kClaimTurnMs = 2000;
// Events waiting for one client: beyond this many, progress reports are
// dropped; beyond twice as many, everything.
constexpr size_t kQueueLimit = 2000;
constexpr size_t kNoTurn = SIZE_MAX;

bool IsProgressReport(DISPID dispid) noexcept
{
    return dispid == kEventProgress || dispid == kEventSectionProgress;
}

bool IsGone(HRESULT hr) noexcept
{
    return hr == RPC_E_DISCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || hr == CO_E_OBJNOTCONNECTED ||
           hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE;
}

}  // namespace

// One event on its way. A plain event is read by every client's thread; one
// with by-reference arguments goes to one client at a time (`turn`), and
// only the result of the current turn counts. Such an event that is no
// question (a notice with its claimed flag) waits in every client's queue from
// the start, so it keeps its place among the client's other events; each
// client's thread holds it until the earlier clients have had their turn.
struct CEngineServer::Outgoing
{
    DISPID dispid = 0;
    bool question = false;
    size_t claimedIndex = 0;     // questions: the flag that settles it
    AnswerHandler answered;      // main thread only
    std::vector<DWORD> cookies;  // main thread only: the clients in turn
    size_t next = 0;             // main thread only: the next of `cookies`
    DWORD turnStart = 0;         // main thread only
    srw_lock lock;
    std::vector<EventArgument> arguments;  // under `lock`
    size_t turn = kNoTurn;                 // under `lock`
    bool turnDone = false;                 // under `lock`
    bool finished = false;                 // under `lock`
    CONDITION_VARIABLE turnChanged = CONDITION_VARIABLE_INIT;  // with `lock`
};

// One client: its thread, the sink marshalled into that thread, its queue.
struct CEngineServer::Delivery
{
    DWORD cookie = 0;
    DWORD mainThread = 0;
    unique_handle wake;
    com_ptr<IStream> marshalled;  // until the thread has taken the sink
    srw_lock lock;
    std::deque<std::pair<std::shared_ptr<Outgoing>, size_t>> queue;  // under `lock`; turn kNoTurn: plain
    bool stopping = false;                                            // under `lock`
    bool gone = false;                                                // under `lock`
    bool asking = false;  // under `lock`: the client is inside a question's call
};

namespace {

using Delivery = CEngineServer::Delivery;
using Outgoing = CEngineServer::Outgoing;

// Calls the client's sink with the event as it stands; for a turn, the
// by-reference arguments it leaves go back into the event.
void Deliver(Delivery& delivery, IDispatch* sink, Outgoing& event, size_t turn) noexcept
try
{
    std::vector<unique_variant> values;
    std::vector<bool> byReference;
    // A notice waits for the earlier clients' turns (each ends within its limit).
    if (turn != kNoTurn && !event.question)
        for (bool waiting = true; waiting;)
        {
            {
                const std::lock_guard<srw_lock> hold(event.lock);
                if (!event.finished && event.turn < turn)
                    (void)::SleepConditionVariableSRW(&event.turnChanged, event.lock.native(), 100, 0);
                waiting = !event.finished && event.turn < turn;
            }
            const std::lock_guard<srw_lock> hold(delivery.lock);
            if (delivery.stopping)
                return;
        }
    {
        const std::lock_guard<srw_lock> hold(event.lock);
        // A question settled or passed on meanwhile is not put again.
        if (turn != kNoTurn && event.question && (event.finished || event.turn != turn))
            return;
        values.resize(event.arguments.size());
        for (size_t i = 0; i < values.size(); ++i)
        {
            if (FAILED(::VariantCopy(values[i].get(), event.arguments[i].value.get())))
                return;
            byReference.push_back(event.arguments[i].byReference);
        }
    }
    // The last argument goes first; by-reference ones point into `values`.
    const size_t count = values.size();
    std::vector<VARIANT> passed(count);
    for (size_t i = 0; i < count; ++i)
    {
        VARIANT& argument = passed[count - 1 - i];
        VARIANT* value = values[i].get();
        argument = *value;
        if (byReference[i])
        {
            V_VT(&argument) = static_cast<VARTYPE>(V_VT(value) | VT_BYREF);
            V_BYREF(&argument) = &V_I4(value);
        }
    }
    DISPPARAMS parameters{passed.data(), nullptr, static_cast<UINT>(count), 0};
    unique_variant result;
    const bool asking = turn != kNoTurn && event.question;
    const auto setAsking = [&](bool value) {
        const std::lock_guard<srw_lock> hold(delivery.lock);
        delivery.asking = value;
    };
    if (asking)
        setAsking(true);
    const HRESULT hr = LOG_IF_FAILED(sink->Invoke(event.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                  &parameters, result.get(), nullptr, nullptr));
    if (asking)
        setAsking(false);
    if (turn != kNoTurn)
    {
        {
            const std::lock_guard<srw_lock> hold(event.lock);
            if (event.turn == turn && !event.turnDone && !event.finished)
            {
                if (SUCCEEDED(hr))
                    for (size_t i = 0; i < count; ++i)
                        if (byReference[i])
                            event.arguments[i].value = std::move(values[i]);
                event.turnDone = true;
            }
        }
        ::PostThreadMessageW(delivery.mainThread, CEngineServer::kDeliveryMessage, 0, 0);
    }
    // A client that is gone stays gone: the main thread drops its sink.
    if (IsGone(hr))
    {
        {
            const std::lock_guard<srw_lock> hold(delivery.lock);
            delivery.gone = true;
        }
        ::PostThreadMessageW(delivery.mainThread, CEngineServer::kDeliveryMessage, 0, 0);
    }
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// The thread of one client: takes the sink into its apartment and delivers
// the queue in order until the client disconnects.
DWORD WINAPI DeliveryThread(void* parameter) noexcept
{
    const std::unique_ptr<std::shared_ptr<Delivery>> owner(static_cast<std::shared_ptr<Delivery>*>(parameter));
    Delivery& delivery = **owner;
    if (FAILED(LOG_IF_FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))))
        return 1;
    {
        com_ptr<IDispatch> sink;
        if (FAILED(LOG_IF_FAILED(::CoGetInterfaceAndReleaseStream(delivery.marshalled.detach(), DIID__IDownloadEngineEvents,
                                                                  sink.put_void()))))
        {
            const std::lock_guard<srw_lock> hold(delivery.lock);
            delivery.gone = true;
        }
        for (;;)
        {
            std::pair<std::shared_ptr<Outgoing>, size_t> item;
            {
                const std::lock_guard<srw_lock> hold(delivery.lock);
                if (delivery.stopping || delivery.gone)
                    break;
                if (!delivery.queue.empty())
                {
                    item = std::move(delivery.queue.front());
                    delivery.queue.pop_front();
                }
            }
            if (item.first)
                Deliver(delivery, sink.get(), *item.first, item.second);
            else
                ::WaitForSingleObject(delivery.wake.get(), INFINITE);
        }
    }
    ::CoUninitialize();
    return 0;
}

// Puts an event in a client's queue. False when the client takes no more.
bool Queue(Delivery& delivery, const std::shared_ptr<Outgoing>& event, size_t turn) noexcept
try
{
    {
        const std::lock_guard<srw_lock> hold(delivery.lock);
        if (delivery.stopping || delivery.gone)
            return false;
        const size_t waiting = delivery.queue.size();
        if ((waiting >= kQueueLimit && turn == kNoTurn && IsProgressReport(event->dispid)) || waiting >= 2 * kQueueLimit)
        {
            TraceToDebugger(__FILE__, __LINE__, "a client's event queue is full: an event is dropped");
            return true;
        }
        delivery.queue.emplace_back(event, turn);
    }
    ::SetEvent(delivery.wake.get());
    return true;
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
    return false;
}

// A client inside one question (a dialog open) cannot take another now: the
// other question goes on to the next client rather than wait behind it.
bool IsAsking(Delivery& delivery) noexcept
{
    const std::lock_guard<srw_lock> hold(delivery.lock);
    return delivery.asking;
}

bool IsGone(Delivery& delivery) noexcept
{
    const std::lock_guard<srw_lock> hold(delivery.lock);
    return delivery.gone;
}

}  // namespace

// --- CEngineServer --------------------------------------------------------------------

CEngineServer& CEngineServer::Instance() noexcept
{
    static CEngineServer server;
    return server;
}

HRESULT CEngineServer::Advise(IUnknown* sink, DWORD* cookie) noexcept
try
{
    RETURN_HR_IF_NULL(E_POINTER, cookie);
    *cookie = 0;
    com_ptr<IDispatch> events;
    if (!sink || FAILED(sink->QueryInterface(DIID__IDownloadEngineEvents, events.put_void())) || !events)
        return CONNECT_E_CANNOTCONNECT;
    auto delivery = std::make_shared<Delivery>();
    delivery->cookie = m_nextCookie;
    delivery->mainThread = ::GetCurrentThreadId();
    delivery->wake.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    RETURN_LAST_ERROR_IF(!delivery->wake);
    RETURN_IF_FAILED(::CoMarshalInterThreadInterfaceInStream(DIID__IDownloadEngineEvents, events.get(),
                                                             delivery->marshalled.put()));
    auto parameter = std::make_unique<std::shared_ptr<Delivery>>(delivery);
    const unique_handle thread(::CreateThread(nullptr, 0, &DeliveryThread, parameter.get(), 0, nullptr));
    if (!thread)
    {
        const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        (void)LOG_IF_FAILED(::CoReleaseMarshalData(delivery->marshalled.get()));
        return hr;
    }
    (void)parameter.release();  // the thread's now
    m_sinks.push_back(std::move(delivery));
    *cookie = m_nextCookie++;
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineServer::Unadvise(DWORD cookie) noexcept
{
    for (auto sink = m_sinks.begin(); sink != m_sinks.end(); ++sink)
        if ((*sink)->cookie == cookie)
        {
            // Its thread ends after the call it may be in; it is not waited for.
            {
                const std::lock_guard<srw_lock> hold((*sink)->lock);
                (*sink)->stopping = true;
                (*sink)->queue.clear();
            }
            ::SetEvent((*sink)->wake.get());
            m_sinks.erase(sink);
            return S_OK;
        }
    return CONNECT_E_NOCONNECTION;
}

void CEngineServer::DisconnectAll() noexcept
{
    while (!m_sinks.empty())
        (void)Unadvise(m_sinks.back()->cookie);
}

void CEngineServer::Fire(DISPID dispid, std::vector<EventArgument> arguments) noexcept
try
{
    if (m_sinks.empty())
        return;
    auto event = std::make_shared<Outgoing>();
    event->dispid = dispid;
    event->arguments = std::move(arguments);
    if (std::none_of(event->arguments.begin(), event->arguments.end(), [](const EventArgument& a) { return a.byReference; }))
    {
        for (const auto& sink : m_sinks)
            (void)Queue(*sink, event, kNoTurn);
        return;
    }
    Start(event);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineServer::Ask(DISPID dispid, std::vector<EventArgument> arguments, size_t claimedIndex,
                        AnswerHandler answered) noexcept
try
{
    auto event = std::make_shared<Outgoing>();
    event->dispid = dispid;
    event->arguments = std::move(arguments);
    event->question = true;
    event->claimedIndex = claimedIndex;
    event->answered = std::move(answered);
    Start(event);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineServer::Start(const std::shared_ptr<Outgoing>& event) noexcept
try
{
    for (const auto& sink : m_sinks)
        event->cookies.push_back(sink->cookie);
    m_waiting.push_back(event);
    // Without a client to take it, it ends at the next round (never inside
    // the core's call that sent it).
    if (!Pass(event))
    {
        ::PostThreadMessageW(::GetCurrentThreadId(), kDeliveryMessage, 0, 0);
        return;
    }
    if (!event->question)
        for (size_t turn = 0; turn < m_sinks.size(); ++turn)
            (void)Queue(*m_sinks[turn], event, turn);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// Gives `event` to the next client that is still connected. False when none
// is left.
bool CEngineServer::Pass(const std::shared_ptr<Outgoing>& event) noexcept
{
    while (event->next < event->cookies.size())
    {
        const size_t turn = event->next++;
        const auto sink = std::find_if(m_sinks.begin(), m_sinks.end(),
                                       [&](const auto& s) { return s->cookie == event->cookies[turn]; });
        if (sink == m_sinks.end() || (event->question && IsAsking(**sink)))
            continue;
        {
            const std::lock_guard<srw_lock> hold(event->lock);
            event->turn = turn;
            event->turnDone = false;
        }
        ::WakeAllConditionVariable(&event->turnChanged);
        event->turnStart = ::GetTickCount();
        // A notice is in every client's queue already; a question is put now.
        if (!event->question ? !IsGone(**sink) : Queue(**sink, event, turn))
            return true;
    }
    return false;
}

void CEngineServer::AdvanceEvents() noexcept
try
{
    for (size_t i = m_sinks.size(); i-- > 0;)
        if (IsGone(*m_sinks[i]))
            (void)Unadvise(m_sinks[i]->cookie);
    std::vector<std::shared_ptr<Outgoing>> finished;
    const DWORD now = ::GetTickCount();
    for (size_t i = 0; i < m_waiting.size();)
    {
        const std::shared_ptr<Outgoing> event = m_waiting[i];
        bool done = false, settled = false;
        {
            const std::lock_guard<srw_lock> hold(event->lock);
            done = event->turn == kNoTurn || event->turnDone;
            if (event->question && event->turnDone && event->claimedIndex < event->arguments.size())
            {
                const VARIANT& claimed = *event->arguments[event->claimedIndex].value.get();
                settled = V_VT(&claimed) == VT_BOOL && V_BOOL(&claimed) != VARIANT_FALSE;
            }
        }
        const DWORD turnLimit = event->question ? kQuestionTurnMs : kClaimTurnMs;
        const bool clientGone =
            !done && std::none_of(m_sinks.begin(), m_sinks.end(),
                                  [&](const auto& s) { return s->cookie == event->cookies[event->next - 1]; });
        const bool late = !done && now - event->turnStart >= turnLimit;
        if (!done && !clientGone && !late)
        {
            ++i;
            continue;
        }
        if (late)
            TraceToDebugger(__FILE__, __LINE__, "a client kept an event too long: the next client gets it");
        if (!settled && Pass(event))
        {
            ++i;
            continue;
        }
        {
            const std::lock_guard<srw_lock> hold(event->lock);
            event->finished = true;
        }
        ::WakeAllConditionVariable(&event->turnChanged);
        finished.push_back(event);
        m_waiting.erase(m_waiting.begin() + static_cast<std::ptrdiff_t>(i));
    }
    // The handlers last: they may send events of their own.
    for (const auto& event : finished)
        if (event->answered)
        {
            std::vector<EventArgument> answer;
            {
                const std::lock_guard<srw_lock> hold(event->lock);
                answer = std::move(event->arguments);
            }
            // What the answer sets off in aria2 is bounded as a client's call is.
            const CAria2Backend::CallDeadline deadline(m_core.Backend(), kCallDeadlineMs);
            event->answered(answer);
        }
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

}  // namespace tdm::engine
