#include "standin_objects.h"

#include <olectl.h>
#include <utility>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "framework/error.h"

namespace tdm::standin {

namespace {

CStandInState& State() noexcept
{
    return CStandInState::Instance();
}

HRESULT CopyText(const std::wstring& text, BSTR* out) noexcept
{
    RETURN_HR_IF_NULL(E_POINTER, out);
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CallAt(long index, RecordedCall& call)
{
    std::vector<RecordedCall> calls = State().Calls();
    RETURN_HR_IF(E_INVALIDARG, index < 0 || static_cast<size_t>(index) >= calls.size());
    call = std::move(calls[index]);
    return S_OK;
}

std::wstring CallText(const RecordedCall& call)
{
    std::wstring text = call.name + L"(";
    for (size_t i = 0; i < call.arguments.size(); ++i)
    {
        if (i)
            text += L", ";
        text += call.arguments[i];
    }
    return text + L")";
}

}  // namespace

// --- CEngineControlImpl -----------------------------------------------------------

namespace {

// DISPIDs of ITestEngineControl's vararg methods.
constexpr DISPID kFireEventId = 27;
constexpr DISPID kFireRawEventId = 28;

}  // namespace

STDMETHODIMP CEngineControlImpl::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* parameters,
                                        VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
try
{
    if ((id != kFireEventId && id != kFireRawEventId) || !(flags & DISPATCH_METHOD) || !parameters ||
        parameters->cNamedArgs != 0)
        return CDispatchImpl::Invoke(id, riid, lcid, flags, parameters, result, exception, argumentError);
    RETURN_HR_IF(DISP_E_UNKNOWNINTERFACE, !::IsEqualIID(riid, IID_NULL));
    RETURN_HR_IF(DISP_E_BADPARAMCOUNT, parameters->cArgs < 1);
    // The arguments arrive last first: the event, then the event's arguments.
    const UINT count = parameters->cArgs - 1;
    Value event;
    RETURN_IF_FAILED(::VariantCopyInd(&event.get(), &parameters->rgvarg[count]));
    SAFEARRAYBOUND bounds{count, 0};
    unique_safearray arguments(::SafeArrayCreate(VT_VARIANT, 1, &bounds));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, arguments.get());
    for (LONG i = 0; i < static_cast<LONG>(count); ++i)
    {
        Value argument;
        RETURN_IF_FAILED(::VariantCopyInd(&argument.get(), &parameters->rgvarg[count - 1 - i]));
        RETURN_IF_FAILED(::SafeArrayPutElement(arguments.get(), &i, &argument.get()));
    }
    long delivered = 0;
    if (id == kFireEventId)
    {
        RETURN_IF_FAILED(FireEvent(event.get(), arguments.get(), &delivered));
    }
    else
    {
        Value dispid;
        RETURN_IF_FAILED(::VariantChangeType(&dispid.get(), &event.get(), 0, VT_I4));
        RETURN_IF_FAILED(FireRawEvent(V_I4(&dispid.get()), arguments.get(), &delivered));
    }
    if (result)
    {
        ::VariantInit(result);
        V_VT(result) = VT_I4;
        V_I4(result) = delivered;
    }
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::Reset()
try
{
    State().Reset();
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::get_CallCount(long* count)
try
{
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = static_cast<long>(State().Calls().size());
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::CallName(long index, BSTR* name)
try
{
    RecordedCall call;
    RETURN_IF_FAILED(CallAt(index, call));
    return CopyText(call.name, name);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::CallTarget(long index, BSTR* target)
try
{
    RecordedCall call;
    RETURN_IF_FAILED(CallAt(index, call));
    return CopyText(call.target, target);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::CallArgumentCount(long index, long* count)
try
{
    RETURN_HR_IF_NULL(E_POINTER, count);
    RecordedCall call;
    RETURN_IF_FAILED(CallAt(index, call));
    *count = static_cast<long>(call.arguments.size());
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::CallArgument(long index, long argument, BSTR* text)
try
{
    RecordedCall call;
    RETURN_IF_FAILED(CallAt(index, call));
    RETURN_HR_IF(E_INVALIDARG, argument < 0 || static_cast<size_t>(argument) >= call.arguments.size());
    return CopyText(call.arguments[argument], text);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::CallText(long index, BSTR* text)
try
{
    RecordedCall call;
    RETURN_IF_FAILED(CallAt(index, call));
    return CopyText(standin::CallText(call), text);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::CallOption(long index, BSTR property, VARIANT* value)
try
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    ::VariantInit(value);
    RecordedCall call;
    RETURN_IF_FAILED(CallAt(index, call));
    const int found = FindOptionProperty(property);
    RETURN_HR_IF(DISP_E_UNKNOWNNAME, found < 0);
    if (!call.options)
        return S_OK;
    return (*call.options)[found].CopyTo(value);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::get_CallLog(BSTR* log)
try
{
    std::wstring text;
    for (const RecordedCall& call : State().Calls())
        text += call.target + L" " + standin::CallText(call) + L"\n";
    return CopyText(text, log);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::ClearCalls()
{
    State().ClearCalls();
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::FailNext(BSTR operation, long status, long count, BSTR description)
try
{
    RETURN_HR_IF(E_INVALIDARG, ::SysStringLen(operation) == 0);
    State().SetFailure(ArgumentText(operation), status, count,
                       description ? ArgumentText(description) : std::wstring());
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::ClearFailures()
{
    State().ClearFailures();
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_Language(long* value)
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = State().GetSettings().language;
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::put_Language(long value)
{
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.language = value; });
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_TrafficMode(long* value)
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = State().GetSettings().trafficMode;
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::put_TrafficMode(long value)
{
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.trafficMode = value; });
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_KeepDescriptionFile(VARIANT_BOOL* value)
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = State().GetSettings().keepDescriptionFile;
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::put_KeepDescriptionFile(VARIANT_BOOL value)
{
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.keepDescriptionFile = value; });
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_KeepCommonLog(VARIANT_BOOL* value)
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = State().GetSettings().keepCommonLog;
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::put_KeepCommonLog(VARIANT_BOOL value)
{
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.keepCommonLog = value; });
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_LogDaysToKeep(long* value)
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = State().GetSettings().logDaysToKeep;
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::put_LogDaysToKeep(long value)
{
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.logDaysToKeep = value; });
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_LogPerDownload(VARIANT_BOOL* value)
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = State().GetSettings().logPerDownload;
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::put_LogPerDownload(VARIANT_BOOL value)
{
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.logPerDownload = value; });
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::SetDownloadLog(long id, BSTR text)
try
{
    State().SetLog(id, text ? ArgumentText(text) : std::wstring());
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::SetOption(long id, BSTR property, VARIANT value)
try
{
    return State().SetStoredOption(id, property, value);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::GetOption(long id, BSTR property, VARIANT* value)
try
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    ::VariantInit(value);
    const int found = FindOptionProperty(property);
    RETURN_HR_IF(DISP_E_UNKNOWNNAME, found < 0);
    return State().StoredOptions(id)[found].CopyTo(value);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::ClearDownloadList()
{
    State().ClearList();
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::AddListRow(long id, BSTR url, BSTR folder, BSTR fileName, long state, long* row)
try
{
    RETURN_HR_IF_NULL(E_POINTER, row);
    *row = State().AddListRow(id, url, folder, fileName, state);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::SetListField(long row, long column, VARIANT value)
try
{
    return State().SetListField(row, column, value);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::AddListSection(long row, long origin, long length, long loaded)
try
{
    return State().AddListSection(row, static_cast<ULONG>(origin), static_cast<ULONG>(length),
                                  static_cast<ULONG>(loaded));
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::SetDownloadList(VARIANT list)
try
{
    State().SetRawList(list);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::FireEvent(VARIANT event, SAFEARRAY* arguments, long* delivered)
try
{
    return State().FireEvent(event, arguments, delivered);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::FireRawEvent(long dispid, SAFEARRAY* arguments, long* delivered)
try
{
    return State().FireRawEvent(dispid, arguments, delivered);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CEngineControlImpl::EventArgument(long index, VARIANT* value)
{
    return State().EventArgument(index, value);
}

STDMETHODIMP CEngineControlImpl::EventResult(long sink, long* status)
{
    return State().EventResult(sink, status);
}

STDMETHODIMP CEngineControlImpl::get_ConnectionCount(long* count)
{
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = State().ConnectionCount();
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_LiveEngines(long* count)
{
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = State().LiveEngines();
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_LiveOptions(long* count)
{
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = State().LiveOptions();
    return S_OK;
}

STDMETHODIMP CEngineControlImpl::get_CreatedEngines(long* count)
{
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = State().CreatedEngines();
    return S_OK;
}

// --- CTestEngineControl -------------------------------------------------------------

const InterfaceEntry* CTestEngineControl::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTestEngineControl, ITestEngineControl),
        TDM_INTERFACE_VIA(CTestEngineControl, IDispatch, ITestEngineControl),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

// --- CTestOptions ---------------------------------------------------------------------

const InterfaceEntry* CTestOptions::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTestOptions, IDownloadOptions),
        TDM_INTERFACE_VIA(CTestOptions, IDispatch, IDownloadOptions),
        TDM_INTERFACE(CTestOptions, ISupportErrorInfo),
        TDM_INTERFACE(CTestOptions, ITestOptionsValues),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

HRESULT CTestOptions::Create(const OptionValues& values, IDownloadOptions** options) noexcept
{
    RETURN_HR_IF_NULL(E_POINTER, options);
    *options = nullptr;
    CComObject<CTestOptions>* object = nullptr;
    RETURN_IF_FAILED(CComObject<CTestOptions>::CreateInstance(&object));
    object->AddRef();
    object->m_values = values;
    const HRESULT hr = object->QueryInterface(IID_IDownloadOptions, reinterpret_cast<void**>(options));
    object->Release();
    return hr;
}

HRESULT CTestOptions::FinalConstruct() noexcept
try
{
    m_number = State().OptionsCreated();
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

void CTestOptions::FinalRelease() noexcept
{
    State().OptionsDestroyed();
}

HRESULT CTestOptions::RecordAccess(bool put, int property, std::wstring argument)
{
    std::wstring name = put ? L"put_" : L"get_";
    name += kOptionProperties[property].name;
    std::vector<std::wstring> arguments;
    if (put)
        arguments.push_back(std::move(argument));
    return State().Record(Target(), name.c_str(), std::move(arguments));
}

HRESULT CTestOptions::GetText(int property, BSTR* value)
try
{
    if (value)
        *value = nullptr;
    RETURN_IF_FAILED(RecordAccess(false, property, {}));
    RETURN_HR_IF_NULL(E_POINTER, value);
    const VARIANT& stored = m_values[property].get();
    *value = ::SysAllocStringLen(V_BSTR(&stored), ::SysStringLen(V_BSTR(&stored)));
    return *value ? S_OK : E_OUTOFMEMORY;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CTestOptions::PutText(int property, BSTR value)
try
{
    RETURN_IF_FAILED(RecordAccess(true, property, ArgumentText(value)));
    m_values[property] = Value::Text(value, ::SysStringLen(value));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CTestOptions::GetLong(int property, long* value)
try
{
    if (value)
        *value = 0;
    RETURN_IF_FAILED(RecordAccess(false, property, {}));
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = V_I4(&m_values[property].get());
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CTestOptions::PutLong(int property, long value)
try
{
    RETURN_IF_FAILED(RecordAccess(true, property, ArgumentText(value)));
    m_values[property] = Value::Long(value);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CTestOptions::GetFlag(int property, VARIANT_BOOL* value)
try
{
    if (value)
        *value = VARIANT_FALSE;
    RETURN_IF_FAILED(RecordAccess(false, property, {}));
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = V_BOOL(&m_values[property].get());
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CTestOptions::PutFlag(int property, VARIANT_BOOL value)
try
{
    RETURN_IF_FAILED(RecordAccess(true, property, FlagArgumentText(value)));
    m_values[property] = Value::Flag(value);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// IDownloadOptions: property numbers are the positions in kOptionProperties.
STDMETHODIMP CTestOptions::get_Url(BSTR* value) { return GetText(0, value); }
STDMETHODIMP CTestOptions::put_Url(BSTR value) { return PutText(0, value); }
STDMETHODIMP CTestOptions::get_IntegerOption1(long* value) { return GetLong(1, value); }
STDMETHODIMP CTestOptions::put_IntegerOption1(long value) { return PutLong(1, value); }
STDMETHODIMP CTestOptions::get_LocalPath(BSTR* value) { return GetText(2, value); }
STDMETHODIMP CTestOptions::put_LocalPath(BSTR value) { return PutText(2, value); }
STDMETHODIMP CTestOptions::get_UserName(BSTR* value) { return GetText(3, value); }
STDMETHODIMP CTestOptions::put_UserName(BSTR value) { return PutText(3, value); }
STDMETHODIMP CTestOptions::get_Password(BSTR* value) { return GetText(4, value); }
STDMETHODIMP CTestOptions::put_Password(BSTR value) { return PutText(4, value); }
STDMETHODIMP CTestOptions::get_UseProxy(VARIANT_BOOL* value) { return GetFlag(5, value); }
STDMETHODIMP CTestOptions::put_UseProxy(VARIANT_BOOL value) { return PutFlag(5, value); }
STDMETHODIMP CTestOptions::get_UseIEProxySettings(VARIANT_BOOL* value) { return GetFlag(6, value); }
STDMETHODIMP CTestOptions::put_UseIEProxySettings(VARIANT_BOOL value) { return PutFlag(6, value); }
STDMETHODIMP CTestOptions::get_ProxyUserName(BSTR* value) { return GetText(7, value); }
STDMETHODIMP CTestOptions::put_ProxyUserName(BSTR value) { return PutText(7, value); }
STDMETHODIMP CTestOptions::get_ProxyPassword(BSTR* value) { return GetText(8, value); }
STDMETHODIMP CTestOptions::put_ProxyPassword(BSTR value) { return PutText(8, value); }
STDMETHODIMP CTestOptions::get_ProxyServers(BSTR* value) { return GetText(9, value); }
STDMETHODIMP CTestOptions::put_ProxyServers(BSTR value) { return PutText(9, value); }
STDMETHODIMP CTestOptions::get_IntegerOption2(long* value) { return GetLong(10, value); }
STDMETHODIMP CTestOptions::put_IntegerOption2(long value) { return PutLong(10, value); }
STDMETHODIMP CTestOptions::get_ProxyBypass(BSTR* value) { return GetText(11, value); }
STDMETHODIMP CTestOptions::put_ProxyBypass(BSTR value) { return PutText(11, value); }
STDMETHODIMP CTestOptions::get_MaxRedirections(long* value) { return GetLong(12, value); }
STDMETHODIMP CTestOptions::put_MaxRedirections(long value) { return PutLong(12, value); }
STDMETHODIMP CTestOptions::get_FtpPassive(VARIANT_BOOL* value) { return GetFlag(13, value); }
STDMETHODIMP CTestOptions::put_FtpPassive(VARIANT_BOOL value) { return PutFlag(13, value); }

STDMETHODIMP CTestOptions::InterfaceSupportsErrorInfo(REFIID riid)
{
    return ::IsEqualIID(riid, IID_IDownloadOptions) ? S_OK : S_FALSE;
}

void STDMETHODCALLTYPE CTestOptions::CopyValues(OptionValues& values)
{
    values = m_values;
}

HRESULT SnapshotOptions(IDownloadOptions* options, OptionValues& values, std::wstring& label)
{
    values = DefaultOptionValues();
    if (!options)
    {
        label = L"(null)";
        return S_OK;
    }
    com_ptr<IDownloadOptions> held(options);
    if (com_ptr<ITestOptionsValues> own = held.try_query<ITestOptionsValues>())
    {
        own->CopyValues(values);
        label = L"options#" + std::to_wstring(own->Number());
        return S_OK;
    }
    label = L"options(foreign)";
    for (size_t i = 0; i < kOptionCount; ++i)
    {
        // The properties' DISPIDs are their positions from 1.
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        Value read;
        RETURN_IF_FAILED(options->Invoke(static_cast<DISPID>(i + 1), IID_NULL, LOCALE_USER_DEFAULT,
                                         DISPATCH_PROPERTYGET, &none, &read.get(), nullptr, nullptr));
        RETURN_IF_FAILED(::VariantChangeType(&values[i].get(), &read.get(), 0, kOptionProperties[i].type));
    }
    return S_OK;
}

// --- CTestEngine ----------------------------------------------------------------------

const InterfaceEntry* CTestEngine::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTestEngine, IDownloadEngine),
        TDM_INTERFACE_VIA(CTestEngine, IDispatch, IDownloadEngine),
        TDM_INTERFACE(CTestEngine, IConnectionPointContainer),
        TDM_INTERFACE(CTestEngine, ISupportErrorInfo),
        TDM_INTERFACE(CTestEngine, ITestEngineControl),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

HRESULT CTestEngine::FinalConstruct() noexcept
try
{
    m_number = State().EngineCreated();
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

void CTestEngine::FinalRelease() noexcept
{
    // A client that releases the engine without disconnecting leaves its sinks
    // here; they are released with the engine, as a real server would.
    State().DisconnectAll(this);
    State().EngineDestroyed();
}

HRESULT CTestEngine::Record(const wchar_t* name, std::vector<std::wstring> arguments, const OptionValues* options)
{
    return State().Record(Target(), name, std::move(arguments), options);
}

// IDownloadEngine
STDMETHODIMP CTestEngine::AddUrl(BSTR url, BSTR folder, long ownerWindow, VARIANT_BOOL start, long queuePosition,
                                 BSTR cookie)
try
{
    return Record(L"AddUrl", {ArgumentText(url), ArgumentText(folder), ArgumentText(ownerWindow),
                              FlagArgumentText(start), ArgumentText(queuePosition), ArgumentText(cookie)});
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::StartDownload(long id, long ownerWindow, BSTR cookie)
try
{
    return Record(L"StartDownload", {ArgumentText(id), ArgumentText(ownerWindow), ArgumentText(cookie)});
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::PauseDownload(long id, long ownerWindow)
try
{
    return Record(L"PauseDownload", {ArgumentText(id), ArgumentText(ownerWindow)});
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::DeleteDownload(long id)
try
{
    return Record(L"DeleteDownload", {ArgumentText(id)});
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::GetDownloadLog(long id, BSTR* log)
try
{
    if (log)
        *log = nullptr;
    RETURN_IF_FAILED(Record(L"GetDownloadLog", {ArgumentText(id)}));
    return CopyText(State().Log(id), log);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::GetOptions(long id, IDownloadOptions** options)
try
{
    if (options)
        *options = nullptr;
    RETURN_IF_FAILED(Record(L"GetOptions", {ArgumentText(id)}));
    RETURN_HR_IF_NULL(E_POINTER, options);
    return CTestOptions::Create(State().StoredOptions(id), options);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::SetOptions(long id, long ownerWindow, IDownloadOptions* options)
try
{
    OptionValues values;
    std::wstring label;
    const HRESULT read = SnapshotOptions(options, values, label);
    RETURN_IF_FAILED(Record(L"SetOptions", {ArgumentText(id), ArgumentText(ownerWindow), label},
                            options && SUCCEEDED(read) ? &values : nullptr));
    RETURN_HR_IF_NULL(E_POINTER, options);
    RETURN_IF_FAILED(read);
    State().StoreOptions(id, values);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::GetLogSettings(VARIANT_BOOL* keepCommonLog, long* daysToKeep, VARIANT_BOOL* logPerDownload)
try
{
    if (keepCommonLog)
        *keepCommonLog = VARIANT_FALSE;
    if (daysToKeep)
        *daysToKeep = 0;
    if (logPerDownload)
        *logPerDownload = VARIANT_FALSE;
    RETURN_IF_FAILED(Record(L"GetLogSettings", {}));
    RETURN_HR_IF(E_POINTER, !keepCommonLog || !daysToKeep || !logPerDownload);
    const CStandInState::Settings settings = State().GetSettings();
    *keepCommonLog = settings.keepCommonLog;
    *daysToKeep = settings.logDaysToKeep;
    *logPerDownload = settings.logPerDownload;
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::SetLogSettings(VARIANT_BOOL keepCommonLog, long daysToKeep, VARIANT_BOOL logPerDownload)
try
{
    RETURN_IF_FAILED(Record(L"SetLogSettings", {FlagArgumentText(keepCommonLog), ArgumentText(daysToKeep),
                                                FlagArgumentText(logPerDownload)}));
    State().ChangeSettings([&](CStandInState::Settings& settings) {
        settings.keepCommonLog = keepCommonLog;
        settings.logDaysToKeep = daysToKeep;
        settings.logPerDownload = logPerDownload;
    });
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::GetLanguage(unsigned short* language)
try
{
    if (language)
        *language = 0;
    RETURN_IF_FAILED(Record(L"GetLanguage", {}));
    RETURN_HR_IF_NULL(E_POINTER, language);
    *language = static_cast<unsigned short>(State().GetSettings().language);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::SetLanguage(unsigned short language)
try
{
    RETURN_IF_FAILED(Record(L"SetLanguage", {ArgumentText(static_cast<long>(language))}));
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.language = language; });
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::GetKeepDescriptionFile(VARIANT_BOOL* keep)
try
{
    if (keep)
        *keep = VARIANT_FALSE;
    RETURN_IF_FAILED(Record(L"GetKeepDescriptionFile", {}));
    RETURN_HR_IF_NULL(E_POINTER, keep);
    *keep = State().GetSettings().keepDescriptionFile;
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::SetKeepDescriptionFile(VARIANT_BOOL keep)
try
{
    RETURN_IF_FAILED(Record(L"SetKeepDescriptionFile", {FlagArgumentText(keep)}));
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.keepDescriptionFile = keep; });
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::GetTrafficMode(long* mode)
try
{
    if (mode)
        *mode = 0;
    RETURN_IF_FAILED(Record(L"GetTrafficMode", {}));
    RETURN_HR_IF_NULL(E_POINTER, mode);
    *mode = State().GetSettings().trafficMode;
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::SetTrafficMode(long mode)
try
{
    RETURN_IF_FAILED(Record(L"SetTrafficMode", {ArgumentText(mode)}));
    State().ChangeSettings([&](CStandInState::Settings& settings) { settings.trafficMode = mode; });
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::AddDownload(IDownloadOptions* options, long ownerWindow, VARIANT_BOOL start,
                                      long queuePosition, BSTR cookie)
try
{
    OptionValues values;
    std::wstring label;
    const HRESULT read = SnapshotOptions(options, values, label);
    RETURN_IF_FAILED(Record(L"AddDownload", {label, ArgumentText(ownerWindow), FlagArgumentText(start),
                                             ArgumentText(queuePosition), ArgumentText(cookie)},
                            options && SUCCEEDED(read) ? &values : nullptr));
    RETURN_HR_IF_NULL(E_POINTER, options);
    return read;
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::GetDownloadList(VARIANT* list)
try
{
    if (list)
        ::VariantInit(list);
    RETURN_IF_FAILED(Record(L"GetDownloadList", {}));
    return State().BuildList(list);
}
catch (...)
{
    return HResultFromCaughtException();
}

// IConnectionPointContainer
STDMETHODIMP CTestEngine::EnumConnectionPoints(IEnumConnectionPoints** points)
{
    RETURN_HR_IF_NULL(E_POINTER, points);
    *points = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CTestEngine::FindConnectionPoint(REFIID riid, IConnectionPoint** point)
{
    RETURN_HR_IF_NULL(E_POINTER, point);
    *point = nullptr;
    RETURN_HR_IF(CONNECT_E_NOCONNECTION, !::IsEqualIID(riid, DIID__IDownloadEngineEvents));
    *point = &m_eventPoint;
    m_eventPoint.AddRef();
    return S_OK;
}

// ISupportErrorInfo
STDMETHODIMP CTestEngine::InterfaceSupportsErrorInfo(REFIID riid)
{
    return ::IsEqualIID(riid, IID_IDownloadEngine) ? S_OK : S_FALSE;
}

// --- CTestEngine::CEventPoint ---------------------------------------------------------

STDMETHODIMP CTestEngine::CEventPoint::QueryInterface(REFIID riid, void** ppv)
{
    RETURN_HR_IF_NULL(E_POINTER, ppv);
    *ppv = nullptr;
    if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IConnectionPoint))
        return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CTestEngine::CEventPoint::AddRef()
{
    return static_cast<IDownloadEngine*>(m_engine)->AddRef();
}

STDMETHODIMP_(ULONG) CTestEngine::CEventPoint::Release()
{
    return static_cast<IDownloadEngine*>(m_engine)->Release();
}

STDMETHODIMP CTestEngine::CEventPoint::GetConnectionInterface(IID* iid)
{
    RETURN_HR_IF_NULL(E_POINTER, iid);
    *iid = DIID__IDownloadEngineEvents;
    return S_OK;
}

STDMETHODIMP CTestEngine::CEventPoint::GetConnectionPointContainer(IConnectionPointContainer** container)
{
    RETURN_HR_IF_NULL(E_POINTER, container);
    *container = static_cast<IConnectionPointContainer*>(m_engine);
    (*container)->AddRef();
    return S_OK;
}

STDMETHODIMP CTestEngine::CEventPoint::Advise(IUnknown* sink, DWORD* cookie)
try
{
    if (cookie)
        *cookie = 0;
    RETURN_IF_FAILED(m_engine->Record(L"Advise", {}));
    RETURN_HR_IF(E_POINTER, !sink || !cookie);
    // A sink must answer the event interface itself, as the engine's clients do.
    com_ptr<IDispatch> events;
    if (FAILED(sink->QueryInterface(DIID__IDownloadEngineEvents, events.put_void())) || !events)
        return CONNECT_E_CANNOTCONNECT;
    return State().Connect(m_engine, events.get(), cookie);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::CEventPoint::Unadvise(DWORD cookie)
try
{
    RETURN_IF_FAILED(m_engine->Record(L"Unadvise", {ArgumentText(static_cast<long>(cookie))}));
    return State().Disconnect(m_engine, cookie);
}
catch (...)
{
    return HResultFromCaughtException();
}

STDMETHODIMP CTestEngine::CEventPoint::EnumConnections(IEnumConnections** connections)
{
    RETURN_HR_IF_NULL(E_POINTER, connections);
    *connections = nullptr;
    return E_NOTIMPL;
}

}  // namespace tdm::standin
