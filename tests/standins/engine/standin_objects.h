// The COM objects of the engine stand-in: the engine (with its event connection
// point), its option objects, and the control.
//
// The engine class is registered with ThreadingModel "Apartment": its objects
// (and their option objects) count references without atomics like the client's
// own objects, and the client calls them only from the single-threaded apartment
// that created them (a browser thread); a caller in the multithreaded apartment
// gets a proxy through the engine's type library, which the stand-in registers.
// What the objects share lives in CStandInState, behind a lock, and events reach
// each sink in its own apartment. The control class is registered "Both": its one
// instance has atomic references and no state of its own, so it serves every
// thread of the process directly.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <string>

#include "engine_h.h"
#include "framework/dispatch.h"
#include "framework/object.h"
#include "standin_state.h"
#include "test_engine_h.h"

namespace tdm::standin {

// The engine's type library is the stand-in's TYPELIB resource 1, the control's 2.
constexpr UINT kEngineTypeLib = 1;
constexpr UINT kControlTypeLib = 2;

// Reading the values of an option object the stand-in made itself, without
// recording the reads as calls of the client.
struct ITestOptionsValues : public IUnknown
{
    virtual void STDMETHODCALLTYPE CopyValues(OptionValues& values) = 0;
    virtual long STDMETHODCALLTYPE Number() = 0;
};

}  // namespace tdm::standin

__CRT_UUID_DECL(tdm::standin::ITestOptionsValues, 0x53112cae, 0xfdfb, 0x426b, 0xb6, 0xd7, 0xcb, 0x8b, 0xf1, 0x52,
                0x0f, 0xe7)

namespace tdm::standin {

// ITestEngineControl over the shared state; the final classes add IUnknown.
class CEngineControlImpl : public CDispatchImpl<ITestEngineControl, kControlTypeLib>
{
public:
    // IDispatch: FireEvent and FireRawEvent are taken straight from the call's
    // arguments (Wine's type library Invoke passes at most one argument to a
    // vararg method); everything else goes through the type library.
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

    // ITestEngineControl
    STDMETHODIMP Reset() override;
    STDMETHODIMP get_CallCount(long* count) override;
    STDMETHODIMP CallName(long index, BSTR* name) override;
    STDMETHODIMP CallTarget(long index, BSTR* target) override;
    STDMETHODIMP CallArgumentCount(long index, long* count) override;
    STDMETHODIMP CallArgument(long index, long argument, BSTR* text) override;
    STDMETHODIMP CallText(long index, BSTR* text) override;
    STDMETHODIMP CallOption(long index, BSTR property, VARIANT* value) override;
    STDMETHODIMP get_CallLog(BSTR* log) override;
    STDMETHODIMP ClearCalls() override;
    STDMETHODIMP FailNext(BSTR operation, long status, long count, BSTR description) override;
    STDMETHODIMP ClearFailures() override;
    STDMETHODIMP get_Language(long* value) override;
    STDMETHODIMP put_Language(long value) override;
    STDMETHODIMP get_TrafficMode(long* value) override;
    STDMETHODIMP put_TrafficMode(long value) override;
    STDMETHODIMP get_KeepDescriptionFile(VARIANT_BOOL* value) override;
    STDMETHODIMP put_KeepDescriptionFile(VARIANT_BOOL value) override;
    STDMETHODIMP get_KeepCommonLog(VARIANT_BOOL* value) override;
    STDMETHODIMP put_KeepCommonLog(VARIANT_BOOL value) override;
    STDMETHODIMP get_LogDaysToKeep(long* value) override;
    STDMETHODIMP put_LogDaysToKeep(long value) override;
    STDMETHODIMP get_LogPerDownload(VARIANT_BOOL* value) override;
    STDMETHODIMP put_LogPerDownload(VARIANT_BOOL value) override;
    STDMETHODIMP SetDownloadLog(long id, BSTR text) override;
    STDMETHODIMP SetOption(long id, BSTR property, VARIANT value) override;
    STDMETHODIMP GetOption(long id, BSTR property, VARIANT* value) override;
    STDMETHODIMP ClearDownloadList() override;
    STDMETHODIMP AddListRow(long id, BSTR url, BSTR folder, BSTR fileName, long state, long* row) override;
    STDMETHODIMP SetListField(long row, long column, VARIANT value) override;
    STDMETHODIMP AddListSection(long row, long origin, long length, long loaded) override;
    STDMETHODIMP SetDownloadList(VARIANT list) override;
    STDMETHODIMP FireEvent(VARIANT event, SAFEARRAY* arguments, long* delivered) override;
    STDMETHODIMP FireRawEvent(long dispid, SAFEARRAY* arguments, long* delivered) override;
    STDMETHODIMP EventArgument(long index, VARIANT* value) override;
    STDMETHODIMP EventResult(long sink, long* status) override;
    STDMETHODIMP get_ConnectionCount(long* count) override;
    STDMETHODIMP get_LiveEngines(long* count) override;
    STDMETHODIMP get_LiveOptions(long* count) override;
    STDMETHODIMP get_CreatedEngines(long* count) override;
};

// The process-wide control, class TolvaneTest.EngineControl (a singleton).
class CTestEngineControl : public CObjectRoot, public CEngineControlImpl
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
};

// An option object handed out by GetOptions: a copy of stored values, whose reads
// and writes are recorded.
class CTestOptions : public CObjectRoot,
                     public CDispatchImpl<IDownloadOptions, kEngineTypeLib>,
                     public ISupportErrorInfo,
                     public ITestOptionsValues
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
    // Creates an object holding `values`, with one reference for the caller.
    static HRESULT Create(const OptionValues& values, IDownloadOptions** options) noexcept;

    HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;

    // IDownloadOptions
    STDMETHODIMP get_Url(BSTR* value) override;
    STDMETHODIMP put_Url(BSTR value) override;
    STDMETHODIMP get_IntegerOption1(long* value) override;
    STDMETHODIMP put_IntegerOption1(long value) override;
    STDMETHODIMP get_LocalPath(BSTR* value) override;
    STDMETHODIMP put_LocalPath(BSTR value) override;
    STDMETHODIMP get_UserName(BSTR* value) override;
    STDMETHODIMP put_UserName(BSTR value) override;
    STDMETHODIMP get_Password(BSTR* value) override;
    STDMETHODIMP put_Password(BSTR value) override;
    STDMETHODIMP get_UseProxy(VARIANT_BOOL* value) override;
    STDMETHODIMP put_UseProxy(VARIANT_BOOL value) override;
    STDMETHODIMP get_UseIEProxySettings(VARIANT_BOOL* value) override;
    STDMETHODIMP put_UseIEProxySettings(VARIANT_BOOL value) override;
    STDMETHODIMP get_ProxyUserName(BSTR* value) override;
    STDMETHODIMP put_ProxyUserName(BSTR value) override;
    STDMETHODIMP get_ProxyPassword(BSTR* value) override;
    STDMETHODIMP put_ProxyPassword(BSTR value) override;
    STDMETHODIMP get_ProxyServers(BSTR* value) override;
    STDMETHODIMP put_ProxyServers(BSTR value) override;
    STDMETHODIMP get_IntegerOption2(long* value) override;
    STDMETHODIMP put_IntegerOption2(long value) override;
    STDMETHODIMP get_ProxyBypass(BSTR* value) override;
    STDMETHODIMP put_ProxyBypass(BSTR value) override;
    STDMETHODIMP get_MaxRedirections(long* value) override;
    STDMETHODIMP put_MaxRedirections(long value) override;
    STDMETHODIMP get_FtpPassive(VARIANT_BOOL* value) override;
    STDMETHODIMP put_FtpPassive(VARIANT_BOOL value) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

    // ITestOptionsValues
    void STDMETHODCALLTYPE CopyValues(OptionValues& values) override;
    long STDMETHODCALLTYPE Number() override { return m_number; }

private:
    std::wstring Target() const { return L"options#" + std::to_wstring(m_number); }
    HRESULT GetText(int property, BSTR* value);
    HRESULT PutText(int property, BSTR value);
    HRESULT GetLong(int property, long* value);
    HRESULT PutLong(int property, long value);
    HRESULT GetFlag(int property, VARIANT_BOOL* value);
    HRESULT PutFlag(int property, VARIANT_BOOL value);
    HRESULT RecordAccess(bool put, int property, std::wstring argument);

    long m_number = 0;
    OptionValues m_values;
};

// The engine object: records every call, answers with what the tests configured,
// and sends the events the control fires to the sinks connected to it.
class CTestEngine : public CObjectRoot,
                    public CDispatchImpl<IDownloadEngine, kEngineTypeLib>,
                    public IConnectionPointContainer,
                    public ISupportErrorInfo,
                    public CEngineControlImpl
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;

    HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;

    // IDownloadEngine
    STDMETHODIMP AddUrl(BSTR url, BSTR folder, long ownerWindow, VARIANT_BOOL start, long queuePosition,
                        BSTR cookie) override;
    STDMETHODIMP StartDownload(long id, long ownerWindow, BSTR cookie) override;
    STDMETHODIMP PauseDownload(long id, long ownerWindow) override;
    STDMETHODIMP DeleteDownload(long id) override;
    STDMETHODIMP GetDownloadLog(long id, BSTR* log) override;
    STDMETHODIMP GetOptions(long id, IDownloadOptions** options) override;
    STDMETHODIMP SetOptions(long id, long ownerWindow, IDownloadOptions* options) override;
    STDMETHODIMP GetLogSettings(VARIANT_BOOL* keepCommonLog, long* daysToKeep, VARIANT_BOOL* logPerDownload) override;
    STDMETHODIMP SetLogSettings(VARIANT_BOOL keepCommonLog, long daysToKeep, VARIANT_BOOL logPerDownload) override;
    STDMETHODIMP GetLanguage(unsigned short* language) override;
    STDMETHODIMP SetLanguage(unsigned short language) override;
    STDMETHODIMP GetKeepDescriptionFile(VARIANT_BOOL* keep) override;
    STDMETHODIMP SetKeepDescriptionFile(VARIANT_BOOL keep) override;
    STDMETHODIMP GetTrafficMode(long* mode) override;
    STDMETHODIMP SetTrafficMode(long mode) override;
    STDMETHODIMP AddDownload(IDownloadOptions* options, long ownerWindow, VARIANT_BOOL start, long queuePosition,
                             BSTR cookie) override;
    STDMETHODIMP GetDownloadList(VARIANT* list) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

private:
    // The connection point of _IDownloadEngineEvents: part of the engine object,
    // whose lifetime it shares (its references are the engine's).
    class CEventPoint final : public IConnectionPoint
    {
    public:
        explicit CEventPoint(CTestEngine* engine) noexcept : m_engine(engine) {}

        // IUnknown
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;

        // IConnectionPoint
        STDMETHODIMP GetConnectionInterface(IID* iid) override;
        STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
        STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
        STDMETHODIMP Unadvise(DWORD cookie) override;
        STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

    private:
        CTestEngine* m_engine;
    };

    std::wstring Target() const { return L"engine#" + std::to_wstring(m_number); }
    HRESULT Record(const wchar_t* name, std::vector<std::wstring> arguments, const OptionValues* options = nullptr);

    long m_number = 0;
    CEventPoint m_eventPoint{this};
};

// Reads the values of an option object for a recorded call: directly for the
// stand-in's own objects, through the interface for others. `label` becomes the
// argument text.
HRESULT SnapshotOptions(IDownloadOptions* options, OptionValues& values, std::wstring& label);

}  // namespace tdm::standin
