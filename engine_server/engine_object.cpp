#include "engine_server/engine_object.h"

#include <olectl.h>

#include "engine_server/engine_text.h"
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

com_ptr<IGlobalInterfaceTable> InterfaceTable() noexcept
{
    com_ptr<IGlobalInterfaceTable> table;
    (void)::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                             table.put_void());
    return table;
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
                        public CDispatchImpl<IDownloadEngine>,
                        public IConnectionPointContainer,
                        public IConnectionPoint,
                        public ISupportErrorInfo
{
public:
    ENGINE_INTERFACES(TDM_INTERFACE(CDownloadEngine, IDownloadEngine),
                      TDM_INTERFACE_VIA(CDownloadEngine, IDispatch, IDownloadEngine),
                      TDM_INTERFACE(CDownloadEngine, IConnectionPointContainer),
                      TDM_INTERFACE(CDownloadEngine, IConnectionPoint),
                      TDM_INTERFACE(CDownloadEngine, ISupportErrorInfo))

    // IDownloadEngine
    STDMETHODIMP AddUrl(BSTR url, BSTR folder, long owner, VARIANT_BOOL start, long position, BSTR cookie) override
    try
    {
        const auto deadline = Deadline();
        DownloadOptionsData options;
        RETURN_IF_FAILED(Core().GetOptions(-1, options));
        options.url = TextOf(url);
        options.localPath = TextOf(folder);
        if (!options.localPath.empty() && options.localPath.back() != L'\\')
            options.localPath += L'\\';
        return Failed(Core().AddDownload(options, owner, start != VARIANT_FALSE, position, TextOf(cookie)));
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
        const auto deadline = Deadline();
        DownloadOptionsData values;
        RETURN_IF_FAILED(ReadOptions(options, values));
        return Failed(Core().AddDownload(values, owner, start != VARIANT_FALSE, position, TextOf(cookie)));
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

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override
    try
    {
        return ::IsEqualIID(iid, IID_IDownloadEngine) ? S_OK : S_FALSE;
    }
    TDM_COM_CATCH

private:
    static CEngineCore& Core() noexcept { return CEngineServer::Instance().Core(); }
    static CAria2Backend::CallDeadline Deadline() noexcept { return {Core().Backend(), kCallDeadlineMs}; }
};

}  // namespace

const ClassEntry kEngineClasses[1] = {
    {&CLSID_DownloadEngine, 101, &CSingletonClassFactory<CDownloadEngine>::Create, nullptr},
};

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
    const com_ptr<IGlobalInterfaceTable> table = InterfaceTable();
    RETURN_HR_IF_NULL(E_UNEXPECTED, table.get());
    DWORD tableCookie = 0;
    RETURN_IF_FAILED(table->RegisterInterfaceInGlobal(events.get(), DIID__IDownloadEngineEvents, &tableCookie));
    m_sinks.push_back(Sink{m_nextCookie, tableCookie});
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
        if (sink->cookie == cookie)
        {
            const DWORD tableCookie = sink->tableCookie;
            m_sinks.erase(sink);
            if (const com_ptr<IGlobalInterfaceTable> table = InterfaceTable())
                (void)LOG_IF_FAILED(table->RevokeInterfaceFromGlobal(tableCookie));
            return S_OK;
        }
    return CONNECT_E_NOCONNECTION;
}

void CEngineServer::DisconnectAll() noexcept
{
    while (!m_sinks.empty())
        (void)Unadvise(m_sinks.back().cookie);
}

void CEngineServer::Fire(DISPID dispid, std::vector<EventArgument>& arguments) noexcept
try
{
    if (m_sinks.empty())
        return;
    // The last argument goes first; by-reference ones point into `arguments`.
    const size_t count = arguments.size();
    std::vector<VARIANT> passed(count);
    for (size_t i = 0; i < count; ++i)
    {
        VARIANT& argument = passed[count - 1 - i];
        VARIANT* value = arguments[i].value.get();
        argument = *value;
        if (arguments[i].byReference)
        {
            V_VT(&argument) = static_cast<VARTYPE>(V_VT(value) | VT_BYREF);
            V_BYREF(&argument) = &V_I4(value);
        }
    }
    const std::vector<Sink> sinks = m_sinks;
    const com_ptr<IGlobalInterfaceTable> table = InterfaceTable();
    if (!table)
        return;
    for (const Sink& sink : sinks)
    {
        // A sink that disconnected during an earlier call is gone.
        if (std::none_of(m_sinks.begin(), m_sinks.end(), [&](const Sink& s) { return s.cookie == sink.cookie; }))
            continue;
        com_ptr<IDispatch> target;
        if (FAILED(table->GetInterfaceFromGlobal(sink.tableCookie, DIID__IDownloadEngineEvents, target.put_void())) || !target)
            continue;
        DISPPARAMS parameters{passed.data(), nullptr, static_cast<UINT>(count), 0};
        VARIANT result;
        ::VariantInit(&result);
        const HRESULT hr = LOG_IF_FAILED(target->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                        &parameters, &result, nullptr, nullptr));
        ::VariantClear(&result);
        // A client that is gone stays gone: its sink is dropped.
        if (hr == RPC_E_DISCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
            hr == CO_E_OBJNOTCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE)
            (void)Unadvise(sink.cookie);
    }
    // By-value arguments were lent to `passed`; by-reference ones may have been
    // replaced by the sinks and live in `arguments`.
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

}  // namespace tdm::engine
