// The engine stand-in: engine, option and control objects over one recorder.
//
// Every method of IDownloadEngine and IDownloadOptions is a one-liner that hands
// its name, its arguments (as VARIANTs) and its out-parameters to the recorder,
// which records the call as text, fails it when a test asked for that, and fills
// the out-parameters from a table of answers keyed by call text or operation
// name. The recorder is process-wide: it lives in the test program
// (test_engine.dll) or in the stand-in's own process (test_engine.exe).
//
// Threading: the classes are registered "Apartment"; engines and option objects
// are called in the apartment that made them, so their reference counts are
// plain. The recorder is shared by every apartment and guarded by one lock, never
// held while calling out (into a sink, COM's global interface table, or an
// object of the client), since such a call may come back in.
#include "standin.h"

#include <olectl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <vector>

#include "framework/dispatch.h"
#include "framework/error.h"
#include "framework/lock.h"
#include "framework/object.h"
#include "framework/registrar.h"

namespace tdm::standin {

constexpr size_t kOptionCount = 14;

// A copyable VARIANT, the recorder's unit of data. The constructors give the
// types of the engine's arguments: long VT_I4, VARIANT_BOOL (a short)
// VT_BOOL, a text VT_BSTR (a null one stays null).
struct Value
{
    Value() noexcept { ::VariantInit(&v); }
    Value(const VARIANT& value) noexcept : Value() { ::VariantCopyInd(&v, const_cast<VARIANT*>(&value)); }
    Value(const Value& other) noexcept : Value(other.v) {}
    Value& operator=(Value other) noexcept { return std::swap(v, other.v), *this; }
    ~Value() { ::VariantClear(&v); }
    Value(long value) noexcept : Value() { V_VT(&v) = VT_I4, V_I4(&v) = value; }
    Value(VARIANT_BOOL value) noexcept : Value() { V_VT(&v) = VT_BOOL, V_BOOL(&v) = value; }
    Value(double value) noexcept : Value() { V_VT(&v) = VT_R8, V_R8(&v) = value; }
    Value(const wchar_t* text) noexcept : Value()
    {
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = text ? ::SysAllocString(text) : nullptr;
    }

    // As recorded: numbers in decimal, flags -1/0/1, "(null)" for a null BSTR.
    std::wstring Text() const
    {
        Value text;
        if (V_VT(&v) == VT_BSTR)
            return V_BSTR(&v) ? V_BSTR(&v) : L"(null)";
        if (V_VT(&v) == VT_BOOL)
            return std::to_wstring(V_BOOL(&v));
        const HRESULT hr = ::VariantChangeTypeEx(&text.v, const_cast<VARIANT*>(&v), 0x0409, 0, VT_BSTR);  // en-US
        return SUCCEEDED(hr) ? V_BSTR(&text.v) : L"(vt " + std::to_wstring(V_VT(&v)) + L")";
    }

    VARIANT v;
};

using OptionValues = std::array<Value, kOptionCount>;

// Reads the values of an option object the stand-in made (not one of the
// client's) without recording the reads as calls; returns its number.
struct ITestOptionsValues : public IUnknown
{
    virtual long STDMETHODCALLTYPE Values(OptionValues& values) = 0;
};

}  // namespace tdm::standin

__CRT_UUID_DECL(tdm::standin::ITestOptionsValues, 0x53112cae, 0xfdfb, 0x426b, 0xb6, 0xd7, 0xcb, 0x8b, 0xf1, 0x52,
                0x0f, 0xe7)

namespace tdm::standin {

namespace {

// The engine's type library is TYPELIB resource 1, the control's 2.
constexpr UINT kEngineTypeLib = 1;
constexpr UINT kControlTypeLib = 2;

enum Kind { kEngine, kOptions, kControl };
using Guard = std::lock_guard<srw_lock>;

// The properties of IDownloadOptions in vtable order.
const struct
{
    const wchar_t* name;
    VARTYPE type;
} kProperties[kOptionCount] = {
    {L"Url", VT_BSTR},           {L"IntegerOption1", VT_I4},   {L"LocalPath", VT_BSTR},
    {L"UserName", VT_BSTR},      {L"Password", VT_BSTR},       {L"UseProxy", VT_BOOL},
    {L"UseIEProxySettings", VT_BOOL}, {L"ProxyUserName", VT_BSTR}, {L"ProxyPassword", VT_BSTR},
    {L"ProxyServers", VT_BSTR},  {L"IntegerOption2", VT_I4},   {L"ProxyBypass", VT_BSTR},
    {L"MaxRedirections", VT_I4}, {L"FtpPassive", VT_BOOL},
};

int FindOption(const wchar_t* name) noexcept
{
    for (size_t i = 0; name && i < kOptionCount; ++i)
        if (::_wcsicmp(name, kProperties[i].name) == 0)
            return static_cast<int>(i);
    return -1;
}

// An out-parameter of an operation: where the answer goes and as what type.
struct Out
{
    Out(BSTR* to) noexcept : type(VT_BSTR), to(to) {}
    Out(long* to) noexcept : type(VT_I4), to(to) {}
    Out(unsigned short* to) noexcept : type(VT_UI2), to(to) {}
    Out(VARIANT_BOOL* to) noexcept : type(VT_BOOL), to(to) {}
    Out(VARIANT* to) noexcept : type(VT_VARIANT), to(to) {}
    VARTYPE type;
    void* to;
};

// Nulls `outs`, then writes the `count` values into the first of them,
// converted to their types (the others stay null, zero, false or VT_EMPTY).
HRESULT Fill(std::initializer_list<Out> outs, const Value* values = nullptr, size_t count = 0) noexcept
{
    for (const Out& out : outs)
    {
        RETURN_HR_IF_NULL(E_POINTER, out.to);
        const size_t size = out.type == VT_VARIANT ? sizeof(VARIANT)
                            : out.type == VT_UI2 || out.type == VT_BOOL ? sizeof(SHORT) : sizeof(LONG);
        std::memset(out.to, 0, size);  // a VARIANT: VT_EMPTY
        const size_t index = &out - outs.begin();
        if (index >= count)
            continue;
        Value value = values[index];
        if (out.type != VT_VARIANT)
            RETURN_IF_FAILED(::VariantChangeType(&value.v, &value.v, 0, out.type));
        // The VARIANT, or its value field whatever its type; what it holds is the caller's now.
        std::memcpy(out.to, out.type == VT_VARIANT ? static_cast<void*>(&value.v) : &V_I4(&value.v), size);
        ::VariantInit(&value.v);
    }
    return S_OK;
}

// Leaves the error information of a failing call for its caller: none when the
// test gave no description, so that the caller cannot pick up a stale one.
void LeaveErrorInfo(const std::wstring& description) noexcept
{
    com_ptr<ICreateErrorInfo> create;
    if (!description.empty() && SUCCEEDED(::CreateErrorInfo(create.put())))
    {
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        create->SetSource(const_cast<LPOLESTR>(L"Tolvane.DownloadEngine"));
    }
    ::SetErrorInfo(0, create.try_query<IErrorInfo>().get());
}

// The global interface table keeps the sinks: it hands each one to the
// apartment that fires as a proxy that calls it in its own apartment.
com_ptr<IGlobalInterfaceTable> InterfaceTable() noexcept
{
    com_ptr<IGlobalInterfaceTable> table;
    (void)::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                             table.put_void());
    return table;
}

std::wstring Text(BSTR text) { return text ? text : L""; }

// The elements of a one-dimensional array of VARIANTs ([vararg] arguments).
std::vector<Value> Values(SAFEARRAY* array)
{
    VARIANT* data = nullptr;
    if (!array || !(array->fFeatures & FADF_VARIANT) || ::SafeArrayGetDim(array) != 1 ||
        FAILED(::SafeArrayAccessData(array, reinterpret_cast<void**>(&data))))
        return {};
    std::vector<Value> values(data, data + array->rgsabound[0].cElements);
    (void)::SafeArrayUnaccessData(array);
    return values;
}

// The recorder: calls, failures and answers, event sinks and live objects. The
// control reads and changes its data under `lock`.
struct CStandIn
{
    // A call, "target Name(arguments)", with the values of an option object passed to it.
    struct RecordedCall { std::wstring text; bool hasOptions; OptionValues options; };
    // A failure for the next `remaining` calls of an operation (-1: until Reset).
    // The first `passing` calls succeed.
    struct Failure { HRESULT status; long remaining; std::wstring description; long passing = 0; };
    // An event sent from inside the next call of `operation` (none: empty).
    struct Event { std::wstring operation; Value name; std::vector<Value> arguments; };
    // A sink connected to an engine: in the local server the sink itself, else
    // kept in the global interface table.
    struct Connection { const void* engine; DWORD cookie, tableCookie; com_ptr<IDispatch> sink; };

    srw_lock lock;
    std::vector<RecordedCall> calls;
    std::map<std::wstring, Failure> failures;
    std::map<std::wstring, std::vector<Value>> answers;
    std::vector<std::array<Value, 15>> rows;
    Event pending;
    std::vector<Value> fired;
    std::vector<Connection> connections;
    DWORD nextCookie = 1;
    long live[3] = {};
    long numbers[3] = {};
    void (*lastObjectGone)() = nullptr;
    bool oneApartment = false;

    // Back to the start (ITestEngineControl::Reset): an engine's settings as
    // installed and an empty download list.
    void Reset()
    {
        Guard guard(lock);
        calls.clear();
        failures.clear();
        rows.clear();
        pending = Event{};
        fired.clear();
        numbers[kEngine] = numbers[kOptions] = numbers[kControl] = 0;
        answers = {
            {L"GetLanguage", {0x0409L}},
            {L"GetTrafficMode", {2L}},
            {L"GetKeepDescriptionFile", {VARIANT_FALSE}},
            {L"GetConnections", {8L}},
            {L"GetLogSettings", {VARIANT_TRUE, 30L, VARIANT_TRUE}},
            {L"defaults of GetOptions", {L"IntegerOption1", 120L, L"IntegerOption2", 2L, L"UseIEProxySettings",
                                         VARIANT_TRUE, L"MaxRedirections", 5L, L"FtpPassive", VARIANT_TRUE}},
        };
    }
    // The download list of `rows`, as GetDownloadList answers it (under the lock).
    Value List() const
    {
        SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rows.size()), 0}, {15, 0}};
        Value list;
        V_VT(&list.v) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(&list.v) = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
        for (LONG i = 0; V_ARRAY(&list.v) && i < static_cast<LONG>(rows.size() * 15); ++i)
        {
            LONG index[2] = {i / 15, i % 15};
            (void)::SafeArrayPutElement(V_ARRAY(&list.v), index, const_cast<VARIANT*>(&rows[i / 15][i % 15].v));
        }
        return list;
    }

    // Records a call of object `target` ("engine", 3: "engine#3"; number 0: the
    // name alone) with the values of an option object passed to it; sends the
    // events held for it and fails it as configured. `text` receives the call
    // text, "Name(arguments)".
    HRESULT Record(const wchar_t* target, long number, std::string_view name, std::initializer_list<Value> arguments,
                   const OptionValues* options = nullptr, std::wstring* text = nullptr) noexcept
    try
    {
        const std::wstring operation(name.begin(), name.end());
        std::wstring called = operation + L"(";
        for (const Value& argument : arguments)
            called += (&argument == arguments.begin() ? L"" : L", ") + argument.Text();
        called += L")";
        RecordedCall call{target + (number ? L"#" + std::to_wstring(number) : L"") + L" " + called, options != nullptr,
                          options ? *options : OptionValues()};
        if (text)
            *text = called;
        Failure failure{S_OK, 0, {}};
        Event held;
        {
            Guard guard(lock);
            calls.push_back(std::move(call));
            const auto found = failures.find(operation);
            if (found != failures.end() && found->second.passing > 0)
            {
                --found->second.passing;
            }
            else if (found != failures.end() && found->second.remaining != 0)
            {
                failure = found->second;
                if (found->second.remaining > 0)
                    --found->second.remaining;
            }
            if (pending.operation == operation)
                held = std::exchange(pending, Event{});
        }
        long delivered = 0;
        if (!held.operation.empty())
            RETURN_IF_FAILED(Fire(V_BSTR(&held.name.v), std::move(held.arguments), &delivered));
        if (FAILED(failure.status))
            LeaveErrorInfo(failure.description);
        return failure.status;
    }
    catch (...)
    {
        return HResultFromCaughtException();
    }

    // Records the call and fills `outs` from its answer.
    HRESULT Call(const wchar_t* target, long number, std::string_view name, std::initializer_list<Value> arguments,
                 std::initializer_list<Out> outs = {}) noexcept
    try
    {
        RETURN_IF_FAILED(Fill(outs));
        std::wstring text;
        RETURN_IF_FAILED(Record(target, number, name, arguments, nullptr, &text));
        const std::wstring operation(name.begin(), name.end());
        std::vector<Value> answer;
        {
            Guard guard(lock);
            auto found = answers.find(text);
            if (found == answers.end())
                found = answers.find(operation);
            if (found != answers.end())
                answer = found->second;
            else if (operation == L"GetDownloadList")
                answer = {List()};  // the rows, made when asked rather than at every row added
        }
        return Fill(outs, answer.data(), answer.size());
    }
    catch (...)
    {
        return HResultFromCaughtException();
    }

    // The options GetOptions(id) hands out: an engine's defaults, then the
    // answers of "GetOptions" and of "GetOptions(id)" laid over them.
    OptionValues Options(long id)
    {
        OptionValues values;
        for (size_t i = 0; i < kOptionCount; ++i)
            (void)::VariantChangeType(&values[i].v, &values[i].v, 0, kProperties[i].type);
        Guard guard(lock);
        for (const std::wstring& key : {std::wstring(L"defaults of GetOptions"), std::wstring(L"GetOptions"),
                                        L"GetOptions(" + std::to_wstring(id) + L")"})
        {
            const auto found = answers.find(key);
            for (size_t i = 0; found != answers.end() && i + 1 < found->second.size(); i += 2)
            {
                const int index = FindOption(V_BSTR(&found->second[i].v));
                (void)::VariantChangeType(&values[index].v, &found->second[i + 1].v, 0, kProperties[index].type);
            }
        }
        return values;
    }

    HRESULT Connect(const void* engine, IUnknown* sink, DWORD* cookie)
    {
        // A sink must answer the event interface itself, as the engine's clients do.
        com_ptr<IDispatch> events;
        if (!sink || FAILED(sink->QueryInterface(DIID__IDownloadEngineEvents, events.put_void())) || !events)
            return CONNECT_E_CANNOTCONNECT;
        // The local server calls its sinks, proxies to the clients' processes, on
        // its one thread. It keeps no proxy in the global interface table: Wine
        // hands one registered as IDispatch out once only (later calls fail with
        // RPC_S_UNKNOWN_IF) and one registered as the events interface keeps its
        // object alive after the registration is revoked.
        DWORD tableCookie = 0;
        if (!oneApartment)
        {
            const com_ptr<IGlobalInterfaceTable> table = InterfaceTable();
            RETURN_HR_IF_NULL(E_UNEXPECTED, table.get());
            RETURN_IF_FAILED(table->RegisterInterfaceInGlobal(events.get(), IID_IDispatch, &tableCookie));
        }
        Guard guard(lock);
        *cookie = nextCookie++;
        connections.push_back(Connection{engine, *cookie, tableCookie, oneApartment ? events : com_ptr<IDispatch>()});
        return S_OK;
    }
    // Ends the connection `cookie` of `engine`, or with `all` every one of it.
    HRESULT Disconnect(const void* engine, DWORD cookie, bool all = false)
    {
        std::vector<Connection> ended;
        {
            Guard guard(lock);
            const auto end = std::stable_partition(connections.begin(), connections.end(), [&](const Connection& c) {
                return c.engine != engine || (!all && c.cookie != cookie);
            });
            ended.assign(end, connections.end());
            connections.erase(end, connections.end());
        }
        RETURN_HR_IF(CONNECT_E_NOCONNECTION, ended.empty() && !all);
        const com_ptr<IGlobalInterfaceTable> table = InterfaceTable();
        for (const Connection& connection : ended)
            if (table && connection.tableCookie)
                (void)table->RevokeInterfaceFromGlobal(connection.tableCookie);
        return S_OK;
    }

    // Sends the event `name` to every sink (ITestEngineControl::FireEvent).
    HRESULT Fire(BSTR name, std::vector<Value> arguments, long* delivered)
    {
        // The event's declaration gives the arguments' types (by reference: the
        // type pointed to); the events are declared in the order of their DISPIDs.
        std::vector<std::pair<VARTYPE, bool>> declared;
        com_ptr<ITypeInfo> info;
        FUNCDESC* function = nullptr;
        DISPID dispid = DISPID_UNKNOWN;
        RETURN_IF_FAILED(CModule::Instance().GetTypeInfo(DIID__IDownloadEngineEvents, info.put(), kEngineTypeLib));
        RETURN_IF_FAILED(info->GetIDsOfNames(&name, 1, &dispid));
        RETURN_IF_FAILED(info->GetFuncDesc(dispid - 1, &function));
        for (SHORT i = 0; function->memid == dispid && i < function->cParams; ++i)
        {
            const TYPEDESC& type = function->lprgelemdescParam[i].tdesc;
            declared.emplace_back(type.vt == VT_PTR ? type.lptdesc->vt : type.vt, type.vt == VT_PTR);
        }
        info->ReleaseFuncDesc(function);
        RETURN_HR_IF(DISP_E_BADPARAMCOUNT, declared.size() != arguments.size());
        // COM sends the last argument first; by-reference ones point into
        // `arguments`, which keeps what the sinks leave there.
        const size_t count = arguments.size();
        std::vector<VARIANT> passed(count);
        for (size_t i = 0; i < count; ++i)
        {
            const auto [base, byReference] = declared[i];
            if (base != VT_VARIANT)
                RETURN_IF_FAILED(::VariantChangeType(&arguments[i].v, &arguments[i].v, 0, base));
            VARIANT& argument = passed[count - 1 - i] = arguments[i].v;
            if (byReference)
            {
                V_VT(&argument) = static_cast<VARTYPE>(base | VT_BYREF);
                V_BYREF(&argument) = base == VT_VARIANT ? &arguments[i].v : static_cast<void*>(&V_I4(&arguments[i].v));
            }
        }
        std::vector<DWORD> cookies;
        {
            Guard guard(lock);
            for (const Connection& connection : connections)
                cookies.push_back(connection.cookie);
        }
        const com_ptr<IGlobalInterfaceTable> table = InterfaceTable();
        DISPPARAMS parameters{passed.data(), nullptr, static_cast<UINT>(count), 0};
        *delivered = 0;
        for (DWORD cookie : cookies)
        {
            // A sink that an earlier sink disconnected is gone.
            com_ptr<IDispatch> sink;
            DWORD tableCookie = 0;
            {
                Guard guard(lock);
                const auto found = std::find_if(connections.begin(), connections.end(),
                                                [&](const Connection& c) { return c.cookie == cookie; });
                if (found == connections.end())
                    continue;
                sink = found->sink;
                tableCookie = found->tableCookie;
            }
            if (!sink && (!table || FAILED(table->GetInterfaceFromGlobal(tableCookie, IID_IDispatch, sink.put_void()))))
                continue;
            Value result;
            // Only a sink that took the event counts as reached.
            if (sink && SUCCEEDED(sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters,
                                               &result.v, nullptr, nullptr)))
                ++*delivered;
        }
        Guard guard(lock);
        fired = std::move(arguments);
        return S_OK;
    }

    // Counts a new object of a kind and returns its number.
    long Created(Kind kind) noexcept
    {
        Guard guard(lock);
        ++live[kind];
        return ++numbers[kind];
    }
    void Destroyed(Kind kind) noexcept
    {
        void (*gone)() = nullptr;
        {
            Guard guard(lock);
            if (--live[kind] == 0 && live[kEngine] + live[kOptions] + live[kControl] == 0)
                gone = std::exchange(lastObjectGone, nullptr);
        }
        if (gone)
            gone();
    }
};

CStandIn& State() noexcept { static CStandIn state; return state; }

// The interface table of a class (CObjectRoot's Interfaces).
#define STANDIN_INTERFACES(...)                                     \
    static const InterfaceEntry* Interfaces(size_t* count) noexcept \
    {                                                               \
        static const InterfaceEntry entries[] = {__VA_ARGS__};      \
        *count = sizeof(entries) / sizeof(entries[0]);              \
        return entries;                                             \
    }

// An option object handed out by GetOptions: a copy of the options of a
// download, whose reads and writes are recorded.
class CTestOptions : public CObjectRoot,
                     public CDispatchImpl<IDownloadOptions, kEngineTypeLib>,
                     public ISupportErrorInfo,
                     public ITestOptionsValues
{
public:
    STANDIN_INTERFACES(TDM_INTERFACE(CTestOptions, IDownloadOptions),
                       TDM_INTERFACE_VIA(CTestOptions, IDispatch, IDownloadOptions),
                       TDM_INTERFACE(CTestOptions, ISupportErrorInfo), TDM_INTERFACE(CTestOptions, ITestOptionsValues))
    static HRESULT Create(const OptionValues& values, IDownloadOptions** options) noexcept
    {
        CComObject<CTestOptions>* object = nullptr;
        RETURN_IF_FAILED(CComObject<CTestOptions>::CreateInstance(&object));
        object->m_values = values;
        return object->QueryInterface(IID_IDownloadOptions, reinterpret_cast<void**>(options));
    }
    HRESULT FinalConstruct() noexcept { m_number = State().Created(kOptions); return S_OK; }
    void FinalRelease() noexcept { State().Destroyed(kOptions); }

    // IDownloadOptions: get_ and put_ of property `index` of the option table.
#define TDM_OPTION(index, Name, Type)                                                             \
    STDMETHODIMP get_##Name(Type* value) override { return Get(index, "get_" #Name, value); } \
    STDMETHODIMP put_##Name(Type value) override { return Put(index, "put_" #Name, value); }
    TDM_OPTION(0, Url, BSTR)
    TDM_OPTION(1, IntegerOption1, long)
    TDM_OPTION(2, LocalPath, BSTR)
    TDM_OPTION(3, UserName, BSTR)
    TDM_OPTION(4, Password, BSTR)
    TDM_OPTION(5, UseProxy, VARIANT_BOOL)
    TDM_OPTION(6, UseIEProxySettings, VARIANT_BOOL)
    TDM_OPTION(7, ProxyUserName, BSTR)
    TDM_OPTION(8, ProxyPassword, BSTR)
    TDM_OPTION(9, ProxyServers, BSTR)
    TDM_OPTION(10, IntegerOption2, long)
    TDM_OPTION(11, ProxyBypass, BSTR)
    TDM_OPTION(12, MaxRedirections, long)
    TDM_OPTION(13, FtpPassive, VARIANT_BOOL)
#undef TDM_OPTION

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID id) override { return id == IID_IDownloadOptions ? S_OK : S_FALSE; }

    // ITestOptionsValues
    long STDMETHODCALLTYPE Values(OptionValues& values) override { values = m_values; return m_number; }

private:
    HRESULT Get(size_t index, const char* name, Out out) noexcept
    {
        RETURN_IF_FAILED(Fill({out}));
        RETURN_IF_FAILED(State().Record(L"options", m_number, name, {}));
        return Fill({out}, &m_values[index], 1);
    }
    HRESULT Put(size_t index, const char* name, const Value& value) noexcept
    {
        RETURN_IF_FAILED(State().Record(L"options", m_number, name, {value}));
        m_values[index] = value;
        return S_OK;
    }

    long m_number = 0;
    OptionValues m_values;
};

// An option object passed to the engine: its label for the call's text and,
// when the stand-in made it, its values.
struct PassedOptions
{
    explicit PassedOptions(IDownloadOptions* options) noexcept
    {
        const com_ptr<ITestOptionsValues> ours = com_ptr<IDownloadOptions>(options).try_query<ITestOptionsValues>();
        if (ours)
            std::swprintf(label, 24, L"options#%ld", ours->Values(values));
        else
            std::wcscpy(label, options ? L"options(foreign)" : L"(null)");
        own = static_cast<bool>(ours);
    }
    const OptionValues* Values() const noexcept { return own ? &values : nullptr; }

    wchar_t label[24];
    bool own;
    OptionValues values;
};

template <typename Interface>
HRESULT NotImplemented(Interface** out) noexcept
{
    return out ? (*out = nullptr, E_NOTIMPL) : E_POINTER;
}

// The engine. It is its own event connection point. It answers IDownloadEngine2
// only once a test has set the answer "IDownloadEngine2" to true (Answer; the
// query is not recorded as a call): by default it is an engine without it.
class CTestEngine : public CObjectRoot,
                    public CDispatchImpl<IDownloadEngine2, kEngineTypeLib>,
                    public IConnectionPointContainer,
                    public IConnectionPoint,
                    public ISupportErrorInfo
{
public:
    STANDIN_INTERFACES(TDM_INTERFACE(CTestEngine, IDownloadEngine), TDM_INTERFACE(CTestEngine, IDownloadEngine2),
                       TDM_INTERFACE_VIA(CTestEngine, IDispatch, IDownloadEngine2),
                       TDM_INTERFACE(CTestEngine, IConnectionPointContainer),
                       TDM_INTERFACE(CTestEngine, IConnectionPoint), TDM_INTERFACE(CTestEngine, ISupportErrorInfo))
    HRESULT FinalConstruct() noexcept { m_number = State().Created(kEngine); return S_OK; }
    template <typename T>
    HRESULT InternalQueryInterface(T* self, REFIID riid, void** ppv) noexcept
    {
        if (::IsEqualIID(riid, IID_IDownloadEngine2) && ppv)
        {
            Guard guard(State().lock);
            const auto found = State().answers.find(L"IDownloadEngine2");
            if (found == State().answers.end() || found->second.empty() || found->second[0].Text() != L"-1")
                return *ppv = nullptr, E_NOINTERFACE;
        }
        return CObjectRoot::InternalQueryInterface(self, riid, ppv);
    }
    void FinalRelease() noexcept
    {
        // Sinks a client left connected go with the engine, as with a real server.
        (void)ComBoundary([&] { return State().Disconnect(this, 0, true); });
        State().Destroyed(kEngine);
    }

    // IDownloadEngine: each call is recorded under the method's own name.
    STDMETHODIMP AddUrl(BSTR url, BSTR folder, long owner, VARIANT_BOOL start, long position, BSTR cookie) override
    {
        return Call(__func__, {url, folder, owner, start, position, cookie});
    }
    STDMETHODIMP StartDownload(long id, long owner, BSTR cookie) override
    {
        return Call(__func__, {id, owner, cookie});
    }
    STDMETHODIMP PauseDownload(long id, long owner) override { return Call(__func__, {id, owner}); }
    STDMETHODIMP DeleteDownload(long id) override { return Call(__func__, {id}); }
    STDMETHODIMP GetDownloadLog(long id, BSTR* log) override { return Call(__func__, {id}, {log}); }
    STDMETHODIMP GetOptions(long id, IDownloadOptions** options) override
    {
        RETURN_HR_IF_NULL(E_POINTER, options);
        *options = nullptr;
        RETURN_IF_FAILED(Call(__func__, {id}));
        return ComBoundary([&] { return CTestOptions::Create(State().Options(id), options); });
    }
    STDMETHODIMP SetOptions(long id, long owner, IDownloadOptions* options) override
    {
        const PassedOptions passed(options);
        return State().Record(L"engine", m_number, __func__, {id, owner, passed.label}, passed.Values());
    }
    STDMETHODIMP GetLogSettings(VARIANT_BOOL* commonLog, long* days, VARIANT_BOOL* perDownload) override
    {
        return Call(__func__, {}, {commonLog, days, perDownload});
    }
    STDMETHODIMP SetLogSettings(VARIANT_BOOL commonLog, long days, VARIANT_BOOL perDownload) override
    {
        return Call(__func__, {commonLog, days, perDownload});
    }
    STDMETHODIMP GetLanguage(unsigned short* language) override { return Call(__func__, {}, {language}); }
    STDMETHODIMP SetLanguage(unsigned short language) override { return Call(__func__, {long{language}}); }
    STDMETHODIMP GetKeepDescriptionFile(VARIANT_BOOL* keep) override { return Call(__func__, {}, {keep}); }
    STDMETHODIMP SetKeepDescriptionFile(VARIANT_BOOL keep) override { return Call(__func__, {keep}); }
    STDMETHODIMP GetTrafficMode(long* mode) override { return Call(__func__, {}, {mode}); }
    STDMETHODIMP SetTrafficMode(long mode) override { return Call(__func__, {mode}); }
    STDMETHODIMP AddDownload(IDownloadOptions* options, long owner, VARIANT_BOOL start, long position,
                             BSTR cookie) override
    {
        const PassedOptions passed(options);
        return State().Record(L"engine", m_number, __func__, {passed.label, owner, start, position, cookie},
                              passed.Values());
    }
    STDMETHODIMP GetDownloadList(VARIANT* list) override { return Call(__func__, {}, {list}); }

    // IDownloadEngine2
    STDMETHODIMP AddUrlFromPage(BSTR url, BSTR folder, long owner, VARIANT_BOOL start, long position, BSTR cookie,
                                BSTR referrer, BSTR userAgent) override
    {
        return Call(__func__, {url, folder, owner, start, position, cookie, referrer, userAgent});
    }
    STDMETHODIMP AddDownloadFromPage(IDownloadOptions* options, long owner, VARIANT_BOOL start, long position,
                                     BSTR cookie, BSTR referrer, BSTR userAgent) override
    {
        const PassedOptions passed(options);
        return State().Record(L"engine", m_number, __func__,
                              {passed.label, owner, start, position, cookie, referrer, userAgent}, passed.Values());
    }
    STDMETHODIMP GetConnections(long* connections) override { return Call(__func__, {}, {connections}); }
    STDMETHODIMP SetConnections(long connections) override { return Call(__func__, {connections}); }

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override { return NotImplemented(points); }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override
    {
        RETURN_HR_IF_NULL(E_POINTER, point);
        *point = nullptr;
        RETURN_HR_IF(CONNECT_E_NOCONNECTION, !::IsEqualIID(riid, DIID__IDownloadEngineEvents));
        (*point = this)->AddRef();
        return S_OK;
    }

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override
    {
        return iid ? (*iid = DIID__IDownloadEngineEvents, S_OK) : E_POINTER;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override
    {
        return container ? ((*container = this)->AddRef(), S_OK) : E_POINTER;
    }
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override
    {
        RETURN_HR_IF_NULL(E_POINTER, cookie);
        *cookie = 0;
        RETURN_IF_FAILED(Call(__func__, {}));
        return ComBoundary([&] { return State().Connect(this, sink, cookie); });
    }
    STDMETHODIMP Unadvise(DWORD cookie) override
    {
        RETURN_IF_FAILED(Call(__func__, {static_cast<long>(cookie)}));
        return ComBoundary([&] { return State().Disconnect(this, cookie); });
    }
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override { return NotImplemented(connections); }

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID id) override
    {
        return id == IID_IDownloadEngine || id == IID_IDownloadEngine2 ? S_OK : S_FALSE;
    }

private:
    HRESULT Call(const char* name, std::initializer_list<Value> arguments,
                 std::initializer_list<Out> outs = {}) noexcept
    {
        return State().Call(L"engine", m_number, name, arguments, outs);
    }

    long m_number = 0;
};

// The control: ITestEngineControl over the recorder.
class CTestControl : public CObjectRoot, public CDispatchImpl<ITestEngineControl, kControlTypeLib>
{
public:
    STANDIN_INTERFACES(TDM_INTERFACE(CTestControl, ITestEngineControl),
                       TDM_INTERFACE_VIA(CTestControl, IDispatch, ITestEngineControl))
    HRESULT FinalConstruct() noexcept { State().Created(kControl); return S_OK; }
    void FinalRelease() noexcept { State().Destroyed(kControl); }

    // IDispatch: Wine's type library Invoke passes a [vararg] method at most one
    // trailing argument, so those methods take their arguments straight from the
    // call (last first).
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override
    {
        if (id < kAnswer || id > kFireOnCall || !parameters || parameters->cNamedArgs)
            return CDispatchImpl::Invoke(id, riid, lcid, flags, parameters, result, exception, argumentError);
        return ComBoundary([&] {
            std::vector<Value> given;
            for (UINT i = parameters->cArgs; i-- > 0;)
                given.emplace_back(parameters->rgvarg[i]);
            Value number(0L);
            RETURN_IF_FAILED(Vararg(id, std::move(given), &V_I4(&number.v)));
            return result ? ::VariantCopy(result, &number.v) : S_OK;
        });
    }

    // ITestEngineControl
    STDMETHODIMP Reset() override { return ComBoundary([] { State().Reset(); return S_OK; }); }
    STDMETHODIMP get_Calls(BSTR* log) override
    {
        RETURN_HR_IF_NULL(E_POINTER, log);
        return ComBoundary([&] {
            std::wstring text;
            Guard guard(State().lock);
            for (const CStandIn::RecordedCall& call : State().calls)
                text += call.text + L"\n";
            return (*log = ::SysAllocString(text.c_str())) ? S_OK : E_OUTOFMEMORY;
        });
    }
    STDMETHODIMP CallOption(long index, BSTR property, VARIANT* value) override
    {
        RETURN_HR_IF_NULL(E_POINTER, value);
        ::VariantInit(value);
        const int found = FindOption(property);
        Guard guard(State().lock);
        RETURN_HR_IF(E_INVALIDARG, index < 0 || static_cast<size_t>(index) >= State().calls.size() || found < 0);
        CStandIn::RecordedCall& call = State().calls[index];
        return call.hasOptions ? ::VariantCopy(value, &call.options[found].v) : S_OK;
    }
    STDMETHODIMP FailNext(BSTR operation, long status, long count, BSTR description) override
    {
        return ComBoundary([&] {
            Guard guard(State().lock);
            State().failures[Text(operation)] = CStandIn::Failure{status, count, Text(description)};
            return S_OK;
        });
    }
    STDMETHODIMP FailAfter(BSTR operation, long passing, long status) override
    {
        return ComBoundary([&] {
            Guard guard(State().lock);
            State().failures[Text(operation)] = CStandIn::Failure{status, 1, {}, passing};
            return S_OK;
        });
    }
    STDMETHODIMP Answer(BSTR call, SAFEARRAY* values) override { return Vararg(kAnswer, {call}, values); }
    STDMETHODIMP AddListRow(SAFEARRAY* columns, long* row) override { return Vararg(kAddListRow, {}, columns, row); }
    STDMETHODIMP FireEvent(BSTR event, SAFEARRAY* arguments, long* delivered) override
    {
        return Vararg(kFireEvent, {event}, arguments, delivered);
    }
    STDMETHODIMP FireOnCall(BSTR operation, BSTR event, SAFEARRAY* arguments) override
    {
        return Vararg(kFireOnCall, {operation, event}, arguments);
    }
    STDMETHODIMP EventArgument(long index, VARIANT* value) override
    {
        RETURN_HR_IF_NULL(E_POINTER, value);
        ::VariantInit(value);
        Guard guard(State().lock);
        RETURN_HR_IF(E_INVALIDARG, index < 0 || static_cast<size_t>(index) >= State().fired.size());
        return ::VariantCopy(value, &State().fired[index].v);
    }
    STDMETHODIMP get_LiveObjects(long* n) override
    {
        return Read(n, [](CStandIn& s) { return s.live[kEngine] + s.live[kOptions]; });
    }
    STDMETHODIMP get_Connections(long* n) override { return Read(n, [](CStandIn& s) { return s.connections.size(); }); }
    STDMETHODIMP get_ProcessId(long* n) override { return Read(n, [](CStandIn&) { return ::GetCurrentProcessId(); }); }

private:
    // DISPIDs of the [vararg] methods.
    enum : DISPID { kAnswer = 5, kAddListRow = 6, kFireEvent = 7, kFireOnCall = 8 };

    // Reads a number out of the recorder under its lock.
    template <typename Reader>
    static HRESULT Read(long* out, Reader&& read)
    {
        RETURN_HR_IF_NULL(E_POINTER, out);
        Guard guard(State().lock);
        *out = static_cast<long>(read(State()));
        return S_OK;
    }
    static HRESULT Vararg(DISPID id, std::initializer_list<Value> fixed, SAFEARRAY* array, long* number = nullptr)
    {
        return ComBoundary([&] {
            std::vector<Value> given(fixed);
            for (Value& value : Values(array))
                given.push_back(value);
            return Vararg(id, std::move(given), number);
        });
    }
    // The [vararg] methods, with all their arguments in `given`; `number` is
    // the result of AddListRow and FireEvent.
    static HRESULT Vararg(DISPID id, std::vector<Value> given, long* number)
    {
        // The names that come first: of a call, an operation or an event.
        const size_t fixed = id == kFireOnCall ? 2 : id == kAddListRow ? 0 : 1;
        RETURN_HR_IF(DISP_E_BADPARAMCOUNT, given.size() < fixed);
        for (size_t i = 0; i < fixed; ++i)
            RETURN_IF_FAILED(::VariantChangeType(&given[i].v, &given[i].v, 0, VT_BSTR));
        std::vector<Value> rest(given.begin() + fixed, given.end());
        if (id == kFireEvent)
            return State().Fire(V_BSTR(&given[0].v), std::move(rest), number);
        const std::wstring name = fixed ? Text(V_BSTR(&given[0].v)) : L"";
        // GetOptions is answered with pairs of a property name and its value.
        for (size_t i = 0; id == kAnswer && name.compare(0, 10, L"GetOptions") == 0 && i < rest.size(); i += 2)
            RETURN_HR_IF(E_INVALIDARG, i + 1 == rest.size() || V_VT(&rest[i].v) != VT_BSTR ||
                                           FindOption(V_BSTR(&rest[i].v)) < 0);
        Guard guard(State().lock);
        if (id == kAnswer)
            State().answers[name] = std::move(rest);
        else if (id == kFireOnCall)
            State().pending = CStandIn::Event{name, given[1], std::move(rest)};
        else
            *number = AddListRow(rest);
        return S_OK;
    }
    // Appends a download row (after the columns given those of a new download)
    // and makes the list of all rows the answer of GetDownloadList again.
    static long AddListRow(const std::vector<Value>& columns)
    {
        std::array<Value, 15> row = {0L, L"", L"", L"", 0L, 3L, 0.0, 0L, 0L, 0L, 0L, 0L, -1L, -1L, Value()};
        std::copy_n(columns.begin(), std::min(columns.size(), row.size()), row.begin());
        State().rows.push_back(row);
        State().answers.erase(L"GetDownloadList");
        return static_cast<long>(State().rows.size() - 1);
    }
};

// The engine's class object records every creation attempt, so that a test can
// make creations fail and count the client's attempts.
class CEngineFactory final : public CClassFactoryBase
{
public:
    static HRESULT Create(IUnknown** classObject) noexcept
    {
        *classObject = new (std::nothrow) CEngineFactory();
        return *classObject ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        RETURN_HR_IF_NULL(E_POINTER, ppv);
        *ppv = nullptr;
        RETURN_IF_FAILED(State().Record(L"DownloadEngine", 0, __func__, {}));
        return CreateComInstance<CTestEngine>(outer, riid, ppv);
    }
};

}  // namespace

const ClassEntry kClasses[2] = {
    {&CLSID_DownloadEngine, 101, &CEngineFactory::Create, nullptr},
    {&CLSID_TestEngineControl, 101, &CClassFactory<CTestControl>::Create, nullptr},
};

HRESULT RegisterServer(const wchar_t* server, const std::wstring& command) noexcept
try
{
    // The engine's type library marshals its interfaces and events between
    // apartments and processes; the control's serves scripts and proxies.
    const CModule& module = CModule::Instance();
    RETURN_IF_FAILED(RunRegistryScriptResource(module.ModuleInstance(), 101, true,
                                               {{L"SERVER", server}, {L"COMMAND", command}}));
    for (const std::wstring& path : {module.ModulePath(), module.ModulePath() + L"\\2"})
    {
        com_ptr<ITypeLib> library;
        RETURN_IF_FAILED(::LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, library.put()));
    }
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

void OnLastObjectGone(void (*gone)()) noexcept
{
    Guard guard(State().lock);
    State().lastObjectGone = gone;
}

void ServeInOneApartment() noexcept
{
    Guard guard(State().lock);
    State().oneApartment = true;
}

}  // namespace tdm::standin
