// The client's link to the download engine: creating an engine object, calling
// it, and connecting an event sink to it.
//
// The engine is a COM server outside the module. Every failing call into it is
// raised as a CComError carrying the status and the interface that failed
// (framework/error.h); creating the engine and connecting a sink are tried once
// more before the failure is raised. Texts are UTF-16 on both sides (std::wstring
// here, BSTRs on the engine's).
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <string>
#include <string_view>
#include <utility>

#include "engine_h.h"
#include "framework/automation.h"
#include "framework/com_ptr.h"

namespace tdm {

// Creates a new engine object (all class contexts); on failure once more, then
// raises with IID_IDownloadEngine.
com_ptr<IDownloadEngine> CreateEngine();

// The engine-wide log keeping (GetLogSettings / SetLogSettings).
struct EngineLogSettings
{
    bool keepCommonLog = false;
    long daysToKeep = -1;  // -1: logs are never deleted
    bool logPerDownload = false;
};

// What a download created in a browser window carries of the page it came
// from: the address sent as its Referer (empty: none) and the browser's user
// agent (empty: the engine's own).
struct PageRequest
{
    std::wstring referrer;
    std::wstring userAgent;

    bool empty() const noexcept { return referrer.empty() && userAgent.empty(); }
};

// An option object of the engine (IDownloadOptions). Flags read true exactly when
// the engine holds VARIANT_TRUE and are written as VARIANT_TRUE or VARIANT_FALSE.
class CDownloadOptions
{
public:
    CDownloadOptions() noexcept = default;
    explicit CDownloadOptions(com_ptr<IDownloadOptions> options) noexcept : m_options(std::move(options)) {}

    IDownloadOptions* get() const noexcept { return m_options.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(m_options); }

    std::wstring Url() const;
    void SetUrl(std::wstring_view value) const;
    // Connection timeout in seconds.
    long IntegerOption1() const;
    void SetIntegerOption1(long value) const;
    std::wstring LocalPath() const;
    void SetLocalPath(std::wstring_view value) const;
    std::wstring UserName() const;
    void SetUserName(std::wstring_view value) const;
    std::wstring Password() const;
    void SetPassword(std::wstring_view value) const;
    bool UseProxy() const;
    void SetUseProxy(bool value) const;
    bool UseIEProxySettings() const;
    void SetUseIEProxySettings(bool value) const;
    std::wstring ProxyUserName() const;
    void SetProxyUserName(std::wstring_view value) const;
    std::wstring ProxyPassword() const;
    void SetProxyPassword(std::wstring_view value) const;
    std::wstring ProxyServers() const;
    void SetProxyServers(std::wstring_view value) const;
    // Number of retries of a failed connection.
    long IntegerOption2() const;
    void SetIntegerOption2(long value) const;
    std::wstring ProxyBypass() const;
    void SetProxyBypass(std::wstring_view value) const;
    long MaxRedirections() const;
    void SetMaxRedirections(long value) const;
    bool FtpPassive() const;
    void SetFtpPassive(bool value) const;

private:
    com_ptr<IDownloadOptions> m_options;
};

// An engine object and the operations the client calls on it. A call on an empty
// CEngine raises E_POINTER.
class CEngine
{
public:
    CEngine() noexcept = default;
    explicit CEngine(com_ptr<IDownloadEngine> engine) noexcept : m_engine(std::move(engine)) {}
    // A new engine object (CreateEngine).
    static CEngine Create() { return CEngine(CreateEngine()); }

    IDownloadEngine* get() const noexcept { return m_engine.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(m_engine); }
    void reset() noexcept { m_engine.reset(); }

    // New download of `url` into `folder` (empty: the engine's default), started
    // when `start`; `cookie` is the page's cookie text or empty. The start flag
    // goes to the engine as 1 or 0. `page` goes with it to an engine that
    // answers IDownloadEngine2; an engine that does not gets the download
    // without it.
    void AddUrl(std::wstring_view url, std::wstring_view folder, HWND owner, bool start,
                std::wstring_view cookie, const PageRequest& page = {}) const;
    void StartDownload(long id, HWND owner, std::wstring_view cookie) const;
    void PauseDownload(long id, HWND owner) const;
    void DeleteDownload(long id) const;
    unique_bstr GetDownloadLog(long id) const;
    // A copy of the options of download `id`; -1: the options of new downloads.
    CDownloadOptions GetOptions(long id) const;
    void SetOptions(long id, HWND owner, const CDownloadOptions& options) const;
    EngineLogSettings GetLogSettings() const;
    // The flags go to the engine as VARIANT_TRUE or VARIANT_FALSE.
    void SetLogSettings(const EngineLogSettings& settings) const;
    LANGID GetLanguage() const;
    void SetLanguage(LANGID language) const;
    bool GetKeepDescriptionFile() const;
    void SetKeepDescriptionFile(bool keep) const;
    // 1 minimal, 2 normal, 3 unlimited bandwidth use.
    long GetTrafficMode() const;
    void SetTrafficMode(long mode) const;
    // Connections per download (1 to 16) of an engine that answers
    // IDownloadEngine2; 0 for one that does not (it has no such setting).
    long GetConnections() const;
    void SetConnections(long connections) const;
    // New download from an option object (its Url and LocalPath); the other
    // arguments as for AddUrl.
    void AddDownload(const CDownloadOptions& options, HWND owner, bool start, std::wstring_view cookie,
                     const PageRequest& page = {}) const;
    // All downloads, as a two-dimensional array of VARIANTs (engine.idl gives the
    // columns); `list` is cleared first.
    void GetDownloadList(unique_variant& list) const;

private:
    IDownloadEngine* Checked() const;
    // The engine as IDownloadEngine2 when `page` has something for it and the
    // engine answers that interface; null otherwise.
    com_ptr<IDownloadEngine2> ForPage(const PageRequest& page) const noexcept;

    com_ptr<IDownloadEngine> m_engine;
};

// The connection of one event sink to an engine's events (_IDownloadEngineEvents),
// held from Connect until Disconnect or destruction.
//
// The engine calls the sink on the thread (apartment) that connected it. A sink
// may disconnect from inside an event call: the engine finishes delivering that
// event and sends no other. The connection holds the engine's connection point,
// and through it the engine, until it is ended.
class CEngineEventConnection
{
public:
    CEngineEventConnection() noexcept = default;
    CEngineEventConnection(const CEngineEventConnection&) = delete;
    CEngineEventConnection& operator=(const CEngineEventConnection&) = delete;
    ~CEngineEventConnection() { (void)Disconnect(); }

    // Connects `sink`, which must answer DIID__IDownloadEngineEvents, to the events
    // of `engine`, ending a connection held before. On failure once more; a second
    // failure is raised with the interface that failed (IConnectionPointContainer
    // or IConnectionPoint).
    void Connect(IDownloadEngine* engine, IUnknown* sink);
    // Ends the connection (nothing when there is none) and returns the status of
    // the engine's Unadvise; the connection is forgotten either way.
    HRESULT Disconnect() noexcept;

    bool Connected() const noexcept { return static_cast<bool>(m_point); }
    DWORD Cookie() const noexcept { return m_cookie; }

private:
    com_ptr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
};

}  // namespace tdm
