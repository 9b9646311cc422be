#include "standin_state.h"

#include <objidl.h>
#include <olectl.h>
#include <utility>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "framework/error.h"
#include "framework/module.h"

namespace tdm::standin {

// --- Value ----------------------------------------------------------------------

Value::Value(const VARIANT& value) noexcept
{
    ::VariantInit(&m_value);
    ::VariantCopy(&m_value, const_cast<VARIANT*>(&value));
}

Value& Value::operator=(const Value& other) noexcept
{
    if (this != &other)
    {
        VARIANT copy;
        ::VariantInit(&copy);
        ::VariantCopy(&copy, const_cast<VARIANT*>(&other.m_value));
        ::VariantClear(&m_value);
        m_value = copy;
    }
    return *this;
}

Value Value::Long(long value) noexcept
{
    Value result;
    V_VT(&result.m_value) = VT_I4;
    V_I4(&result.m_value) = value;
    return result;
}

Value Value::Flag(VARIANT_BOOL value) noexcept
{
    Value result;
    V_VT(&result.m_value) = VT_BOOL;
    V_BOOL(&result.m_value) = value;
    return result;
}

Value Value::Double(double value) noexcept
{
    Value result;
    V_VT(&result.m_value) = VT_R8;
    V_R8(&result.m_value) = value;
    return result;
}

Value Value::Text(const wchar_t* text, UINT length) noexcept
{
    Value result;
    if (BSTR copy = ::SysAllocStringLen(text, length))
    {
        V_VT(&result.m_value) = VT_BSTR;
        V_BSTR(&result.m_value) = copy;
    }
    return result;
}

HRESULT Value::CopyTo(VARIANT* out) const noexcept
{
    RETURN_HR_IF_NULL(E_POINTER, out);
    ::VariantInit(out);
    return ::VariantCopy(out, const_cast<VARIANT*>(&m_value));
}

// --- options ----------------------------------------------------------------------

const OptionProperty kOptionProperties[kOptionCount] = {
    {L"Url", VT_BSTR},           {L"IntegerOption1", VT_I4},    {L"LocalPath", VT_BSTR},
    {L"UserName", VT_BSTR},      {L"Password", VT_BSTR},        {L"UseProxy", VT_BOOL},
    {L"UseIEProxySettings", VT_BOOL}, {L"ProxyUserName", VT_BSTR}, {L"ProxyPassword", VT_BSTR},
    {L"ProxyServers", VT_BSTR},  {L"IntegerOption2", VT_I4},    {L"ProxyBypass", VT_BSTR},
    {L"MaxRedirections", VT_I4}, {L"FtpPassive", VT_BOOL},
};

int FindOptionProperty(const wchar_t* name) noexcept
{
    for (size_t i = 0; name && i < kOptionCount; ++i)
        if (::_wcsicmp(name, kOptionProperties[i].name) == 0)
            return static_cast<int>(i);
    return -1;
}

OptionValues DefaultOptionValues()
{
    OptionValues values;
    for (size_t i = 0; i < kOptionCount; ++i)
    {
        switch (kOptionProperties[i].type)
        {
        case VT_BSTR: values[i] = Value::Text(L"", 0); break;
        case VT_BOOL: values[i] = Value::Flag(VARIANT_FALSE); break;
        default: values[i] = Value::Long(0); break;
        }
    }
    values[FindOptionProperty(L"IntegerOption1")] = Value::Long(120);
    values[FindOptionProperty(L"IntegerOption2")] = Value::Long(2);
    values[FindOptionProperty(L"UseIEProxySettings")] = Value::Flag(VARIANT_TRUE);
    values[FindOptionProperty(L"MaxRedirections")] = Value::Long(5);
    values[FindOptionProperty(L"FtpPassive")] = Value::Flag(VARIANT_TRUE);
    return values;
}

// --- argument texts ---------------------------------------------------------------

std::wstring ArgumentText(long value)
{
    return std::to_wstring(value);
}

std::wstring ArgumentText(BSTR value)
{
    if (!value)
        return L"(null)";
    return std::wstring(value, ::SysStringLen(value));
}

std::wstring FlagArgumentText(VARIANT_BOOL value)
{
    return std::to_wstring(static_cast<int>(value));
}

// --- state ---------------------------------------------------------------------------

namespace {

// Leaves an error information object for the caller of a failing call (or none,
// so that the caller does not pick up a stale one).
void LeaveErrorInfo(const std::wstring& description) noexcept
{
    if (description.empty())
    {
        ::SetErrorInfo(0, nullptr);
        return;
    }
    com_ptr<ICreateErrorInfo> create;
    if (FAILED(::CreateErrorInfo(create.put())))
        return;
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    create->SetSource(const_cast<LPOLESTR>(L"Tolvane.DownloadEngine"));
    com_ptr<IErrorInfo> info = create.try_query<IErrorInfo>();
    ::SetErrorInfo(0, info.get());
}

com_ptr<IGlobalInterfaceTable> InterfaceTable() noexcept
{
    com_ptr<IGlobalInterfaceTable> table;
    if (FAILED(::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGlobalInterfaceTable, table.put_void())))
        table.reset();
    return table;
}

// The elements of a one-dimensional array of VARIANTs (null: none).
HRESULT ArrayElements(SAFEARRAY* array, std::vector<Value>& elements)
{
    elements.clear();
    if (!array)
        return S_OK;
    VARTYPE type = VT_EMPTY;
    RETURN_IF_FAILED(::SafeArrayGetVartype(array, &type));
    RETURN_HR_IF(E_INVALIDARG, type != VT_VARIANT || ::SafeArrayGetDim(array) != 1);
    LONG lower = 0;
    LONG upper = -1;
    RETURN_IF_FAILED(::SafeArrayGetLBound(array, 1, &lower));
    RETURN_IF_FAILED(::SafeArrayGetUBound(array, 1, &upper));
    for (LONG i = lower; i <= upper; ++i)
    {
        Value element;
        RETURN_IF_FAILED(::SafeArrayGetElement(array, &i, &element.get()));
        elements.push_back(element);
    }
    return S_OK;
}

// The description of the event `dispid` in the engine's type library.
class EventDescription
{
public:
    EventDescription() = default;
    EventDescription(const EventDescription&) = delete;
    EventDescription& operator=(const EventDescription&) = delete;
    ~EventDescription()
    {
        if (m_function)
            m_info->ReleaseFuncDesc(m_function);
    }

    HRESULT Find(ITypeInfo* info, DISPID dispid) noexcept
    {
        m_info = com_ptr<ITypeInfo>(info);
        TYPEATTR* attributes = nullptr;
        RETURN_IF_FAILED(info->GetTypeAttr(&attributes));
        const UINT count = attributes->cFuncs;
        info->ReleaseTypeAttr(attributes);
        for (UINT i = 0; i < count; ++i)
        {
            FUNCDESC* function = nullptr;
            RETURN_IF_FAILED(info->GetFuncDesc(i, &function));
            if (function->memid == dispid)
            {
                m_function = function;
                return S_OK;
            }
            info->ReleaseFuncDesc(function);
        }
        return DISP_E_MEMBERNOTFOUND;
    }
    const FUNCDESC* get() const noexcept { return m_function; }

private:
    com_ptr<ITypeInfo> m_info;
    FUNCDESC* m_function = nullptr;
};

}  // namespace

CStandInState& CStandInState::Instance() noexcept
{
    static CStandInState state;
    return state;
}

void CStandInState::Reset()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_calls.clear();
    m_failures.clear();
    m_settings = Settings{};
    m_logs.clear();
    m_options.clear();
    m_rows.clear();
    m_rawList.reset();
    m_eventArguments.clear();
    m_eventResults.clear();
    m_createdEngines = 0;
    m_createdOptions = 0;
}

HRESULT CStandInState::Record(const std::wstring& target, const wchar_t* name, std::vector<std::wstring> arguments,
                              const OptionValues* options)
{
    HRESULT status = S_OK;
    std::wstring description;
    {
        std::lock_guard<tdm::srw_lock> guard(m_lock);
        RecordedCall call;
        call.target = target;
        call.name = name;
        call.arguments = std::move(arguments);
        if (options)
            call.options = *options;
        m_calls.push_back(std::move(call));
        auto failure = m_failures.find(name);
        if (failure != m_failures.end())
        {
            status = failure->second.status;
            description = failure->second.description;
            if (failure->second.remaining > 0 && --failure->second.remaining == 0)
                m_failures.erase(failure);
        }
    }
    if (FAILED(status))
        LeaveErrorInfo(description);
    return status;
}

std::vector<RecordedCall> CStandInState::Calls() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return m_calls;
}

void CStandInState::ClearCalls()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_calls.clear();
}

void CStandInState::SetFailure(const std::wstring& operation, HRESULT status, long count,
                               const std::wstring& description)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    if (count == 0)
        m_failures.erase(operation);
    else
        m_failures[operation] = Failure{status, count < 0 ? -1 : count, description};
}

void CStandInState::ClearFailures()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_failures.clear();
}

CStandInState::Settings CStandInState::GetSettings() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return m_settings;
}

void CStandInState::SetLog(long id, std::wstring text)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_logs[id] = std::move(text);
}

std::wstring CStandInState::Log(long id) const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    auto log = m_logs.find(id);
    return log == m_logs.end() ? std::wstring() : log->second;
}

OptionValues CStandInState::StoredOptions(long id) const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    auto stored = m_options.find(id);
    return stored == m_options.end() ? DefaultOptionValues() : stored->second;
}

void CStandInState::StoreOptions(long id, const OptionValues& values)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_options[id] = values;
}

HRESULT CStandInState::SetStoredOption(long id, const wchar_t* property, const VARIANT& value)
{
    const int index = FindOptionProperty(property);
    RETURN_HR_IF(DISP_E_UNKNOWNNAME, index < 0);
    Value converted;
    RETURN_IF_FAILED(::VariantChangeType(&converted.get(), const_cast<VARIANT*>(&value), 0, kOptionProperties[index].type));
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    auto stored = m_options.find(id);
    if (stored == m_options.end())
        stored = m_options.emplace(id, DefaultOptionValues()).first;
    stored->second[index] = converted;
    return S_OK;
}

void CStandInState::ClearList()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_rows.clear();
    m_rawList.reset();
}

long CStandInState::AddListRow(long id, BSTR url, BSTR folder, BSTR fileName, long state)
{
    ListRow row;
    row.columns[0] = Value::Long(id);
    row.columns[1] = Value::Text(url, ::SysStringLen(url));
    row.columns[2] = Value::Text(folder, ::SysStringLen(folder));
    row.columns[3] = Value::Text(fileName, ::SysStringLen(fileName));
    row.columns[4] = Value::Long(state);
    row.columns[5] = Value::Long(3);
    row.columns[6] = Value::Double(0.0);
    row.columns[7] = Value::Long(0);
    row.columns[8] = Value::Long(0);
    row.columns[9] = Value::Long(0);
    row.columns[10] = Value::Long(0);
    row.columns[11] = Value::Long(0);
    row.columns[12] = Value::Long(-1);
    row.columns[13] = Value::Long(-1);
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_rows.push_back(std::move(row));
    return static_cast<long>(m_rows.size() - 1);
}

HRESULT CStandInState::SetListField(long row, long column, const VARIANT& value)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    RETURN_HR_IF(E_INVALIDARG, row < 0 || static_cast<size_t>(row) >= m_rows.size() || column < 0 || column >= 15);
    m_rows[row].columns[column] = Value(value);
    if (column == 14)
        m_rows[row].sections.clear();
    return S_OK;
}

HRESULT CStandInState::AddListSection(long row, ULONG origin, ULONG length, ULONG loaded)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    RETURN_HR_IF(E_INVALIDARG, row < 0 || static_cast<size_t>(row) >= m_rows.size());
    m_rows[row].sections.push_back({origin, length, 0, loaded});
    m_rows[row].columns[14] = Value();
    return S_OK;
}

void CStandInState::SetRawList(const VARIANT& list)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_rawList = Value(list);
}

HRESULT CStandInState::BuildList(VARIANT* list) const
{
    RETURN_HR_IF_NULL(E_POINTER, list);
    ::VariantInit(list);
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    if (m_rawList)
        return m_rawList->CopyTo(list);
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(m_rows.size()), 0}, {15, 0}};
    unique_safearray array(::SafeArrayCreate(VT_VARIANT, 2, bounds));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, array.get());
    for (LONG row = 0; row < static_cast<LONG>(m_rows.size()); ++row)
    {
        const ListRow& source = m_rows[row];
        for (LONG column = 0; column < 15; ++column)
        {
            LONG index[2] = {row, column};
            if (column == 14 && !source.sections.empty())
            {
                SAFEARRAYBOUND sectionBounds[2] = {{static_cast<ULONG>(source.sections.size()), 0}, {4, 0}};
                unique_safearray sections(::SafeArrayCreate(VT_UI4, 2, sectionBounds));
                RETURN_HR_IF_NULL(E_OUTOFMEMORY, sections.get());
                for (LONG section = 0; section < static_cast<LONG>(source.sections.size()); ++section)
                {
                    for (LONG field = 0; field < 4; ++field)
                    {
                        LONG sectionIndex[2] = {section, field};
                        ULONG value = source.sections[section][field];
                        RETURN_IF_FAILED(::SafeArrayPutElement(sections.get(), sectionIndex, &value));
                    }
                }
                VARIANT cell;
                V_VT(&cell) = VT_ARRAY | VT_UI4;
                V_ARRAY(&cell) = sections.get();
                // SafeArrayPutElement copies the cell, sections array included.
                RETURN_IF_FAILED(::SafeArrayPutElement(array.get(), index, &cell));
                continue;
            }
            RETURN_IF_FAILED(::SafeArrayPutElement(array.get(), index, const_cast<VARIANT*>(&source.columns[column].get())));
        }
    }
    V_VT(list) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(list) = array.release();
    return S_OK;
}

long CStandInState::EngineCreated()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    ++m_liveEngines;
    return ++m_createdEngines;
}

void CStandInState::EngineDestroyed()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    --m_liveEngines;
}

long CStandInState::OptionsCreated()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    ++m_liveOptions;
    return ++m_createdOptions;
}

void CStandInState::OptionsDestroyed()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    --m_liveOptions;
}

long CStandInState::LiveEngines() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return m_liveEngines;
}

long CStandInState::LiveOptions() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return m_liveOptions;
}

long CStandInState::CreatedEngines() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return m_createdEngines;
}

HRESULT CStandInState::Connect(const void* engine, IDispatch* sink, DWORD* cookie)
{
    RETURN_HR_IF_NULL(E_POINTER, cookie);
    *cookie = 0;
    // The table keeps the sink for calls from any apartment: firing from another
    // thread reaches the sink through a proxy, in the sink's own apartment.
    com_ptr<IGlobalInterfaceTable> table = InterfaceTable();
    RETURN_HR_IF_NULL(E_UNEXPECTED, table.get());
    DWORD tableCookie = 0;
    RETURN_IF_FAILED(table->RegisterInterfaceInGlobal(sink, IID_IDispatch, &tableCookie));
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    *cookie = m_nextCookie++;
    m_connections.push_back(Connection{engine, *cookie, tableCookie});
    return S_OK;
}

HRESULT CStandInState::Disconnect(const void* engine, DWORD cookie)
{
    DWORD tableCookie = 0;
    {
        std::lock_guard<tdm::srw_lock> guard(m_lock);
        auto found = m_connections.begin();
        while (found != m_connections.end() && !(found->engine == engine && found->cookie == cookie))
            ++found;
        if (found == m_connections.end())
            return CONNECT_E_NOCONNECTION;
        tableCookie = found->tableCookie;
        m_connections.erase(found);
    }
    if (com_ptr<IGlobalInterfaceTable> table = InterfaceTable())
        table->RevokeInterfaceFromGlobal(tableCookie);
    return S_OK;
}

void CStandInState::DisconnectAll(const void* engine)
{
    std::vector<DWORD> tableCookies;
    {
        std::lock_guard<tdm::srw_lock> guard(m_lock);
        for (auto connection = m_connections.begin(); connection != m_connections.end();)
        {
            if (connection->engine == engine)
            {
                tableCookies.push_back(connection->tableCookie);
                connection = m_connections.erase(connection);
            }
            else
            {
                ++connection;
            }
        }
    }
    if (tableCookies.empty())
        return;
    if (com_ptr<IGlobalInterfaceTable> table = InterfaceTable())
        for (DWORD tableCookie : tableCookies)
            table->RevokeInterfaceFromGlobal(tableCookie);
}

long CStandInState::ConnectionCount() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return static_cast<long>(m_connections.size());
}

long CStandInState::SendToSinks(DISPID dispid, DISPPARAMS* parameters, std::vector<HRESULT>& results)
{
    std::vector<DWORD> tableCookies;
    {
        std::lock_guard<tdm::srw_lock> guard(m_lock);
        for (const Connection& connection : m_connections)
            tableCookies.push_back(connection.tableCookie);
    }
    com_ptr<IGlobalInterfaceTable> table = InterfaceTable();
    if (!table)
        return 0;
    long delivered = 0;
    for (DWORD tableCookie : tableCookies)
    {
        // A sink disconnected by an earlier sink's handler is gone from the table.
        com_ptr<IDispatch> sink;
        if (FAILED(table->GetInterfaceFromGlobal(tableCookie, IID_IDispatch, sink.put_void())) || !sink)
            continue;
        VARIANT result;
        ::VariantInit(&result);
        EXCEPINFO exception{};
        UINT argumentError = 0;
        const HRESULT hr =
            sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, parameters, &result, &exception,
                         &argumentError);
        ::VariantClear(&result);
        ::SysFreeString(exception.bstrSource);
        ::SysFreeString(exception.bstrDescription);
        ::SysFreeString(exception.bstrHelpFile);
        results.push_back(hr);
        ++delivered;
    }
    return delivered;
}

HRESULT CStandInState::FireEvent(const VARIANT& event, SAFEARRAY* arguments, long* delivered)
{
    RETURN_HR_IF_NULL(E_POINTER, delivered);
    *delivered = 0;
    com_ptr<ITypeInfo> info;
    RETURN_IF_FAILED(CModule::Instance().GetTypeInfo(DIID__IDownloadEngineEvents, info.put(), 1));
    DISPID dispid = DISPID_UNKNOWN;
    if (V_VT(&event) == VT_BSTR)
    {
        LPOLESTR name = V_BSTR(&event);
        RETURN_IF_FAILED(info->GetIDsOfNames(&name, 1, &dispid));
    }
    else
    {
        Value number;
        RETURN_IF_FAILED(::VariantChangeType(&number.get(), const_cast<VARIANT*>(&event), 0, VT_I4));
        dispid = V_I4(&number.get());
    }
    EventDescription description;
    RETURN_IF_FAILED(description.Find(info.get(), dispid));
    const FUNCDESC* function = description.get();

    std::vector<Value> given;
    RETURN_IF_FAILED(ArrayElements(arguments, given));
    const size_t count = static_cast<size_t>(function->cParams);
    RETURN_HR_IF(DISP_E_BADPARAMCOUNT, given.size() != count);

    // `storage` owns the values; `passed` holds them the way COM sends them: the
    // last declared argument first, by-reference ones as pointers into `storage`.
    std::vector<Value> storage(count);
    std::vector<VARIANT> passed(count);
    for (size_t i = 0; i < count; ++i)
    {
        const TYPEDESC& type = function->lprgelemdescParam[i].tdesc;
        const bool byReference = type.vt == VT_PTR;
        const VARTYPE base = byReference ? type.lptdesc->vt : type.vt;
        if (base == VT_VARIANT)
            storage[i] = given[i];
        else
            RETURN_IF_FAILED(::VariantChangeType(&storage[i].get(), &given[i].get(), 0, base));
        VARIANT& argument = passed[count - 1 - i];
        if (byReference)
        {
            ::VariantInit(&argument);
            V_VT(&argument) = static_cast<VARTYPE>(base | VT_BYREF);
            if (base == VT_VARIANT)
                V_VARIANTREF(&argument) = &storage[i].get();
            else
                V_BYREF(&argument) = &V_I4(&storage[i].get());  // the value field, whatever its type
        }
        else
        {
            argument = storage[i].get();  // a view: `storage` keeps ownership
        }
    }
    DISPPARAMS parameters{passed.empty() ? nullptr : passed.data(), nullptr, static_cast<UINT>(count), 0};
    std::vector<HRESULT> results;
    *delivered = SendToSinks(dispid, &parameters, results);

    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_eventArguments = std::move(storage);
    m_eventResults = std::move(results);
    return S_OK;
}

HRESULT CStandInState::FireRawEvent(DISPID dispid, SAFEARRAY* arguments, long* delivered)
{
    RETURN_HR_IF_NULL(E_POINTER, delivered);
    *delivered = 0;
    std::vector<Value> given;
    RETURN_IF_FAILED(ArrayElements(arguments, given));
    std::vector<VARIANT> passed(given.size());
    for (size_t i = 0; i < given.size(); ++i)
        passed[given.size() - 1 - i] = given[i].get();
    DISPPARAMS parameters{passed.empty() ? nullptr : passed.data(), nullptr, static_cast<UINT>(passed.size()), 0};
    std::vector<HRESULT> results;
    *delivered = SendToSinks(dispid, &parameters, results);

    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_eventArguments = std::move(given);
    m_eventResults = std::move(results);
    return S_OK;
}

HRESULT CStandInState::EventArgument(long index, VARIANT* value) const
{
    RETURN_HR_IF_NULL(E_POINTER, value);
    ::VariantInit(value);
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    RETURN_HR_IF(E_INVALIDARG, index < 0 || static_cast<size_t>(index) >= m_eventArguments.size());
    return m_eventArguments[index].CopyTo(value);
}

HRESULT CStandInState::EventResult(long sink, long* status) const
{
    RETURN_HR_IF_NULL(E_POINTER, status);
    *status = 0;
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    RETURN_HR_IF(E_INVALIDARG, sink < 0 || static_cast<size_t>(sink) >= m_eventResults.size());
    *status = m_eventResults[sink];
    return S_OK;
}

}  // namespace tdm::standin
