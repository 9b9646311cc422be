#include "engine/engine_link.h"

#include <utility>

#include "framework/error.h"

namespace tdm {

namespace {

// Window handles cross to the engine as 32-bit integers.
long WindowArgument(HWND window) noexcept
{
    return static_cast<long>(reinterpret_cast<LONG_PTR>(window));
}

VARIANT_BOOL FlagArgument(bool value) noexcept
{
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

// The start flag of AddUrl and AddDownload is sent as 1 or 0, as the engine has
// always received it.
VARIANT_BOOL StartArgument(bool start) noexcept
{
    return start ? 1 : 0;
}

// The queue position of new downloads: at the end of the engine's queue.
constexpr long kAppendToQueue = -1;

unique_bstr TextArgument(std::wstring_view text, REFIID iid)
{
    unique_bstr result(AllocBstr(text));
    if (!result)
        throw CComError(E_OUTOFMEMORY, iid);
    return result;
}

}  // namespace

com_ptr<IDownloadEngine> CreateEngine()
{
    return CreateTwice<IDownloadEngine>(CLSID_DownloadEngine, CLSCTX_ALL);
}

// --- CDownloadOptions ---------------------------------------------------------

namespace {

IDownloadOptions* CheckedOptions(IDownloadOptions* options)
{
    if (!options)
        throw CComError(E_POINTER, IID_IDownloadOptions);
    return options;
}

template <typename Getter>
std::wstring GetText(IDownloadOptions* options, Getter getter)
{
    unique_bstr value;
    RaiseIfFailed((CheckedOptions(options)->*getter)(value.put()), IID_IDownloadOptions, options);
    return WideFromBstr(value.get());
}

template <typename Setter>
void SetText(IDownloadOptions* options, Setter setter, std::wstring_view value)
{
    CheckedOptions(options);
    const unique_bstr text = TextArgument(value, IID_IDownloadOptions);
    RaiseIfFailed((options->*setter)(text.get()), IID_IDownloadOptions, options);
}

template <typename Getter>
bool GetFlag(IDownloadOptions* options, Getter getter)
{
    VARIANT_BOOL value = VARIANT_FALSE;
    RaiseIfFailed((CheckedOptions(options)->*getter)(&value), IID_IDownloadOptions, options);
    return value == VARIANT_TRUE;
}

template <typename Setter>
void SetFlag(IDownloadOptions* options, Setter setter, bool value)
{
    RaiseIfFailed((CheckedOptions(options)->*setter)(FlagArgument(value)), IID_IDownloadOptions, options);
}

template <typename Getter>
long GetNumber(IDownloadOptions* options, Getter getter)
{
    long value = 0;
    RaiseIfFailed((CheckedOptions(options)->*getter)(&value), IID_IDownloadOptions, options);
    return value;
}

template <typename Setter>
void SetNumber(IDownloadOptions* options, Setter setter, long value)
{
    RaiseIfFailed((CheckedOptions(options)->*setter)(value), IID_IDownloadOptions, options);
}

}  // namespace

std::wstring CDownloadOptions::Url() const { return GetText(get(), &IDownloadOptions::get_Url); }
void CDownloadOptions::SetUrl(std::wstring_view value) const { SetText(get(), &IDownloadOptions::put_Url, value); }
long CDownloadOptions::IntegerOption1() const { return GetNumber(get(), &IDownloadOptions::get_IntegerOption1); }
void CDownloadOptions::SetIntegerOption1(long value) const
{
    SetNumber(get(), &IDownloadOptions::put_IntegerOption1, value);
}
std::wstring CDownloadOptions::LocalPath() const { return GetText(get(), &IDownloadOptions::get_LocalPath); }
void CDownloadOptions::SetLocalPath(std::wstring_view value) const
{
    SetText(get(), &IDownloadOptions::put_LocalPath, value);
}
std::wstring CDownloadOptions::UserName() const { return GetText(get(), &IDownloadOptions::get_UserName); }
void CDownloadOptions::SetUserName(std::wstring_view value) const
{
    SetText(get(), &IDownloadOptions::put_UserName, value);
}
std::wstring CDownloadOptions::Password() const { return GetText(get(), &IDownloadOptions::get_Password); }
void CDownloadOptions::SetPassword(std::wstring_view value) const
{
    SetText(get(), &IDownloadOptions::put_Password, value);
}
bool CDownloadOptions::UseProxy() const { return GetFlag(get(), &IDownloadOptions::get_UseProxy); }
void CDownloadOptions::SetUseProxy(bool value) const { SetFlag(get(), &IDownloadOptions::put_UseProxy, value); }
bool CDownloadOptions::UseIEProxySettings() const
{
    return GetFlag(get(), &IDownloadOptions::get_UseIEProxySettings);
}
void CDownloadOptions::SetUseIEProxySettings(bool value) const
{
    SetFlag(get(), &IDownloadOptions::put_UseIEProxySettings, value);
}
std::wstring CDownloadOptions::ProxyUserName() const { return GetText(get(), &IDownloadOptions::get_ProxyUserName); }
void CDownloadOptions::SetProxyUserName(std::wstring_view value) const
{
    SetText(get(), &IDownloadOptions::put_ProxyUserName, value);
}
std::wstring CDownloadOptions::ProxyPassword() const { return GetText(get(), &IDownloadOptions::get_ProxyPassword); }
void CDownloadOptions::SetProxyPassword(std::wstring_view value) const
{
    SetText(get(), &IDownloadOptions::put_ProxyPassword, value);
}
std::wstring CDownloadOptions::ProxyServers() const { return GetText(get(), &IDownloadOptions::get_ProxyServers); }
void CDownloadOptions::SetProxyServers(std::wstring_view value) const
{
    SetText(get(), &IDownloadOptions::put_ProxyServers, value);
}
long CDownloadOptions::IntegerOption2() const { return GetNumber(get(), &IDownloadOptions::get_IntegerOption2); }
void CDownloadOptions::SetIntegerOption2(long value) const
{
    SetNumber(get(), &IDownloadOptions::put_IntegerOption2, value);
}
std::wstring CDownloadOptions::ProxyBypass() const { return GetText(get(), &IDownloadOptions::get_ProxyBypass); }
void CDownloadOptions::SetProxyBypass(std::wstring_view value) const
{
    SetText(get(), &IDownloadOptions::put_ProxyBypass, value);
}
long CDownloadOptions::MaxRedirections() const { return GetNumber(get(), &IDownloadOptions::get_MaxRedirections); }
void CDownloadOptions::SetMaxRedirections(long value) const
{
    SetNumber(get(), &IDownloadOptions::put_MaxRedirections, value);
}
bool CDownloadOptions::FtpPassive() const { return GetFlag(get(), &IDownloadOptions::get_FtpPassive); }
void CDownloadOptions::SetFtpPassive(bool value) const { SetFlag(get(), &IDownloadOptions::put_FtpPassive, value); }

// --- CEngine ------------------------------------------------------------------

IDownloadEngine* CEngine::Checked() const
{
    if (!m_engine)
        throw CComError(E_POINTER, IID_IDownloadEngine);
    return m_engine.get();
}

com_ptr<IDownloadEngine2> CEngine::ForPage(const PageRequest& page) const noexcept
{
    if (page.empty() || !m_engine)
        return {};
    return m_engine.try_query<IDownloadEngine2>();
}

void CEngine::AddUrl(std::wstring_view url, std::wstring_view folder, HWND owner, bool start,
                     std::wstring_view cookie, const PageRequest& page) const
{
    IDownloadEngine* engine = Checked();
    const unique_bstr urlText = TextArgument(url, IID_IDownloadEngine);
    const unique_bstr folderText = TextArgument(folder, IID_IDownloadEngine);
    const unique_bstr cookieText = TextArgument(cookie, IID_IDownloadEngine);
    if (const com_ptr<IDownloadEngine2> engine2 = ForPage(page))
    {
        const unique_bstr referrer = TextArgument(page.referrer, IID_IDownloadEngine2);
        const unique_bstr userAgent = TextArgument(page.userAgent, IID_IDownloadEngine2);
        RaiseIfFailed(engine2->AddUrlFromPage(urlText.get(), folderText.get(), WindowArgument(owner),
                                              StartArgument(start), kAppendToQueue, cookieText.get(), referrer.get(),
                                              userAgent.get()), IID_IDownloadEngine2, engine2.get());
        return;
    }
    RaiseIfFailed(engine->AddUrl(urlText.get(), folderText.get(), WindowArgument(owner), StartArgument(start),
                                 kAppendToQueue, cookieText.get()), IID_IDownloadEngine, m_engine.get());
}

void CEngine::StartDownload(long id, HWND owner, std::wstring_view cookie) const
{
    IDownloadEngine* engine = Checked();
    const unique_bstr cookieText = TextArgument(cookie, IID_IDownloadEngine);
    RaiseIfFailed(engine->StartDownload(id, WindowArgument(owner), cookieText.get()), IID_IDownloadEngine, m_engine.get());
}

void CEngine::PauseDownload(long id, HWND owner) const
{
    RaiseIfFailed(Checked()->PauseDownload(id, WindowArgument(owner)), IID_IDownloadEngine, m_engine.get());
}

void CEngine::DeleteDownload(long id) const
{
    RaiseIfFailed(Checked()->DeleteDownload(id), IID_IDownloadEngine, m_engine.get());
}

unique_bstr CEngine::GetDownloadLog(long id) const
{
    unique_bstr log;
    RaiseIfFailed(Checked()->GetDownloadLog(id, log.put()), IID_IDownloadEngine, m_engine.get());
    return log;
}

CDownloadOptions CEngine::GetOptions(long id) const
{
    com_ptr<IDownloadOptions> options;
    RaiseIfFailed(Checked()->GetOptions(id, options.put()), IID_IDownloadEngine, m_engine.get());
    // An engine that answers S_OK without an object has failed all the same.
    if (!options)
        throw CComError(E_POINTER, IID_IDownloadEngine);
    return CDownloadOptions(std::move(options));
}

void CEngine::SetOptions(long id, HWND owner, const CDownloadOptions& options) const
{
    RaiseIfFailed(Checked()->SetOptions(id, WindowArgument(owner), options.get()), IID_IDownloadEngine, m_engine.get());
}

EngineLogSettings CEngine::GetLogSettings() const
{
    VARIANT_BOOL keepCommonLog = VARIANT_FALSE;
    long daysToKeep = -1;
    VARIANT_BOOL logPerDownload = VARIANT_FALSE;
    RaiseIfFailed(Checked()->GetLogSettings(&keepCommonLog, &daysToKeep, &logPerDownload), IID_IDownloadEngine, m_engine.get());
    EngineLogSettings settings;
    settings.keepCommonLog = keepCommonLog != VARIANT_FALSE;
    settings.daysToKeep = daysToKeep;
    settings.logPerDownload = logPerDownload != VARIANT_FALSE;
    return settings;
}

void CEngine::SetLogSettings(const EngineLogSettings& settings) const
{
    RaiseIfFailed(Checked()->SetLogSettings(FlagArgument(settings.keepCommonLog), settings.daysToKeep,
                                            FlagArgument(settings.logPerDownload)), IID_IDownloadEngine, m_engine.get());
}

LANGID CEngine::GetLanguage() const
{
    unsigned short language = 0;
    RaiseIfFailed(Checked()->GetLanguage(&language), IID_IDownloadEngine, m_engine.get());
    return language;
}

void CEngine::SetLanguage(LANGID language) const
{
    RaiseIfFailed(Checked()->SetLanguage(language), IID_IDownloadEngine, m_engine.get());
}

bool CEngine::GetKeepDescriptionFile() const
{
    VARIANT_BOOL keep = VARIANT_FALSE;
    RaiseIfFailed(Checked()->GetKeepDescriptionFile(&keep), IID_IDownloadEngine, m_engine.get());
    return keep != VARIANT_FALSE;
}

void CEngine::SetKeepDescriptionFile(bool keep) const
{
    RaiseIfFailed(Checked()->SetKeepDescriptionFile(FlagArgument(keep)), IID_IDownloadEngine, m_engine.get());
}

long CEngine::GetTrafficMode() const
{
    long mode = 0;
    RaiseIfFailed(Checked()->GetTrafficMode(&mode), IID_IDownloadEngine, m_engine.get());
    return mode;
}

void CEngine::SetTrafficMode(long mode) const
{
    RaiseIfFailed(Checked()->SetTrafficMode(mode), IID_IDownloadEngine, m_engine.get());
}

long CEngine::GetConnections() const
{
    Checked();
    const com_ptr<IDownloadEngine2> engine2 = m_engine.try_query<IDownloadEngine2>();
    if (!engine2)
        return 0;
    long connections = 0;
    RaiseIfFailed(engine2->GetConnections(&connections), IID_IDownloadEngine2, engine2.get());
    return connections;
}

void CEngine::SetConnections(long connections) const
{
    Checked();
    const com_ptr<IDownloadEngine2> engine2 = m_engine.try_query<IDownloadEngine2>();
    if (!engine2)
        throw CComError(E_NOINTERFACE, IID_IDownloadEngine2);
    RaiseIfFailed(engine2->SetConnections(connections), IID_IDownloadEngine2, engine2.get());
}

void CEngine::AddDownload(const CDownloadOptions& options, HWND owner, bool start, std::wstring_view cookie,
                          const PageRequest& page) const
{
    IDownloadEngine* engine = Checked();
    const unique_bstr cookieText = TextArgument(cookie, IID_IDownloadEngine);
    if (const com_ptr<IDownloadEngine2> engine2 = ForPage(page))
    {
        const unique_bstr referrer = TextArgument(page.referrer, IID_IDownloadEngine2);
        const unique_bstr userAgent = TextArgument(page.userAgent, IID_IDownloadEngine2);
        RaiseIfFailed(engine2->AddDownloadFromPage(options.get(), WindowArgument(owner), StartArgument(start),
                                                   kAppendToQueue, cookieText.get(), referrer.get(), userAgent.get()),
                      IID_IDownloadEngine2, engine2.get());
        return;
    }
    RaiseIfFailed(engine->AddDownload(options.get(), WindowArgument(owner), StartArgument(start), kAppendToQueue,
                                      cookieText.get()), IID_IDownloadEngine, m_engine.get());
}

void CEngine::GetDownloadList(unique_variant& list) const
{
    RaiseIfFailed(Checked()->GetDownloadList(list.put()), IID_IDownloadEngine, m_engine.get());
}

// --- CEngineEventConnection ---------------------------------------------------

void CEngineEventConnection::Connect(IDownloadEngine* engine, IUnknown* sink)
{
    (void)Disconnect();
    com_ptr<IConnectionPoint> point;
    DWORD cookie = 0;
    IID failed = IID_IConnectionPointContainer;
    const auto attempt = [&]() -> HRESULT {
        failed = IID_IConnectionPointContainer;
        RETURN_HR_IF_NULL(E_POINTER, engine);
        com_ptr<IConnectionPointContainer> container;
        RETURN_IF_FAILED(engine->QueryInterface(IID_IConnectionPointContainer, container.put_void()));
        RETURN_IF_FAILED(container->FindConnectionPoint(DIID__IDownloadEngineEvents, point.put()));
        failed = IID_IConnectionPoint;
        RETURN_HR_IF_NULL(E_POINTER, point.get());
        return point->Advise(sink, &cookie);
    };
    HRESULT hr = attempt();
    if (FAILED(hr))
        hr = attempt();
    RaiseIfFailed(hr, failed);
    m_point = std::move(point);
    m_cookie = cookie;
}

HRESULT CEngineEventConnection::Disconnect() noexcept
{
    com_ptr<IConnectionPoint> point = std::move(m_point);
    const DWORD cookie = std::exchange(m_cookie, 0);
    return point ? point->Unadvise(cookie) : S_OK;
}

}  // namespace tdm
