#include "downloads/engine_events.h"

#include <cstdio>

#include "engine/engine_contract.h"
#include "framework/error.h"
#include "framework/module.h"

namespace tdm {

namespace {

// The engine's interfaces are the module's second type library.
constexpr UINT kEngineTypeLib = 2;

// The arguments of one event in declaration order (DISPPARAMS holds them last
// first). Every read checks the type; a wrong one marks the whole event bad and
// yields a harmless value, so the caller tests Good() once before acting.
class EventArgs
{
public:
    EventArgs(const DISPPARAMS* params, UINT expected) noexcept
        : m_params(params),
          m_good(params && params->cNamedArgs == 0 && params->cArgs == expected && (expected == 0 || params->rgvarg))
    {
        if (!m_good)
            m_status = DISP_E_BADPARAMCOUNT;
    }

    bool Good() const noexcept { return m_good; }
    // Why the event was rejected.
    HRESULT Status() const noexcept { return m_status; }

    LONG Long(UINT i) noexcept
    {
        const VARIANT& v = Value(i);
        switch (V_VT(&v))
        {
        case VT_I4: return V_I4(&v);
        case VT_INT: return V_INT(&v);
        case VT_I4 | VT_BYREF: return V_I4REF(&v) ? *V_I4REF(&v) : Bad(0L);
        default: return Bad(0L);
        }
    }
    // Sizes and byte counts: unsigned values carried in a long.
    ULONG ULong(UINT i) noexcept
    {
        const VARIANT& v = Value(i);
        if (V_VT(&v) == VT_UI4 || V_VT(&v) == VT_UINT)
            return V_UI4(&v);
        return static_cast<ULONG>(Long(i));
    }
    HWND Window(UINT i) noexcept { return reinterpret_cast<HWND>(static_cast<LONG_PTR>(Long(i))); }
    double Double(UINT i) noexcept
    {
        const VARIANT& v = Value(i);
        switch (V_VT(&v))
        {
        case VT_R8: return V_R8(&v);
        case VT_DATE: return V_DATE(&v);
        case VT_R8 | VT_BYREF: return V_R8REF(&v) ? *V_R8REF(&v) : Bad(0.0);
        default: return Bad(0.0);
        }
    }
    bool Bool(UINT i) noexcept
    {
        const VARIANT& v = Value(i);
        if (V_VT(&v) == VT_BOOL)
            return V_BOOL(&v) != VARIANT_FALSE;
        if (V_VT(&v) == (VT_BOOL | VT_BYREF) && V_BOOLREF(&v))
            return *V_BOOLREF(&v) != VARIANT_FALSE;
        return Bad(false);
    }
    WORD Word(UINT i) noexcept
    {
        const VARIANT& v = Value(i);
        if (V_VT(&v) == VT_UI2)
            return V_UI2(&v);
        if (V_VT(&v) == VT_I4 && V_I4(&v) >= 0 && V_I4(&v) <= 0xFFFF)
            return static_cast<WORD>(V_I4(&v));
        return Bad(WORD{0});
    }
    BSTR Text(UINT i) noexcept
    {
        const VARIANT& v = Value(i);
        if (V_VT(&v) == VT_BSTR)
            return V_BSTR(&v);
        if (V_VT(&v) == (VT_BSTR | VT_BYREF) && V_BSTRREF(&v))
            return *V_BSTRREF(&v);
        return Bad(BSTR{});
    }
    // A VARIANT argument, the value itself (one level of VT_VARIANT reference
    // taken away).
    const VARIANT& Any(UINT i) noexcept { return Value(i); }

    VARIANT_BOOL* RefBool(UINT i) noexcept
    {
        const VARIANT& v = Raw(i);
        return V_VT(&v) == (VT_BOOL | VT_BYREF) && V_BOOLREF(&v) ? V_BOOLREF(&v) : Bad<VARIANT_BOOL*>(nullptr);
    }
    BSTR* RefText(UINT i) noexcept
    {
        const VARIANT& v = Raw(i);
        return V_VT(&v) == (VT_BSTR | VT_BYREF) && V_BSTRREF(&v) ? V_BSTRREF(&v) : Bad<BSTR*>(nullptr);
    }

private:
    template <typename V>
    V Bad(V value) noexcept
    {
        if (m_good)
            m_status = DISP_E_TYPEMISMATCH;
        m_good = false;
        return value;
    }
    const VARIANT& Raw(UINT i) noexcept
    {
        static const VARIANT empty{};
        if (!m_good || i >= m_params->cArgs)
            return empty;
        return m_params->rgvarg[m_params->cArgs - 1 - i];
    }
    const VARIANT& Value(UINT i) noexcept
    {
        const VARIANT& v = Raw(i);
        if (V_VT(&v) == (VT_VARIANT | VT_BYREF))
        {
            static const VARIANT empty{};
            if (!V_VARIANTREF(&v))
                return Bad<const VARIANT&>(empty);
            return *V_VARIANTREF(&v);
        }
        return v;
    }

    const DISPPARAMS* m_params;
    bool m_good;
    HRESULT m_status = S_OK;
};

// The argument count each handled event is declared with; 0 for events the
// handlers do not take.
UINT DeclaredArgumentCount(DISPID dispid) noexcept
{
    switch (dispid)
    {
    case kEventDeleted:
    case kEventLanguage:
    case kEventTrafficMode:
    case kEventInterface:
        return 1;
    case kEventResumeSupport:
    case kEventInfoChanged:
    case kEventSections:
    case kEventPriority:
        return 2;
    case kEventStateChanged:
    case kEventLogOption:
    case kEventRenamed:
        return 3;
    case kEventSectionFinished:
        return 4;
    case kEventAdded:
    case kEventStopped:
    case kEventCompleted:
    case kEventRestarted:
        return 6;
    case kEventError:
    case kEventSectionProgress:
        return 7;
    case kEventProgress:
        return 8;
    case kEventCredentials:
        return 12;
    case kEventFileInfo:
        return 14;
    default:
        return 0;
    }
}

HRESULT TraceRejected(DISPID dispid, HRESULT status) noexcept
{
    char text[96];
    std::snprintf(text, sizeof(text), "tdm: engine event %ld rejected: wrong argument %s\n",
                  static_cast<long>(dispid), status == DISP_E_BADPARAMCOUNT ? "count" : "type");
    ::OutputDebugStringA(text);
    return status;
}

HRESULT Route(DISPID dispid, const DISPPARAMS* params, IEngineEventHandler& handler)
{
    const UINT count = DeclaredArgumentCount(dispid);
    if (count == 0)
        return S_OK;
    EventArgs a(params, count);
    auto rejected = [&]() noexcept { return TraceRejected(dispid, a.Status()); };
    if (!a.Good())
        return rejected();
    // Each case reads every argument it uses first and calls the handler only
    // when all of them were of their declared types.
    switch (dispid)
    {
    case kEventAdded:
    {
        const LONG id = a.Long(0);
        const BSTR url = a.Text(1), folder = a.Text(2), fileName = a.Text(3);
        const LONG state = a.Long(4), priority = a.Long(5);
        if (!a.Good())
            return rejected();
        handler.OnDownloadAdded(id, url, folder, fileName, state, priority);
        break;
    }
    case kEventStateChanged:
    {
        const LONG id = a.Long(0), state = a.Long(1);
        const double elapsed = a.Double(2);
        if (!a.Good())
            return rejected();
        handler.OnDownloadStateChanged(id, state, elapsed);
        break;
    }
    case kEventStopped:
    case kEventCompleted:
    {
        const LONG id = a.Long(0), state = a.Long(1);
        const double elapsed = a.Double(2);
        const HWND owner = a.Window(3);
        const LONG scope = a.Long(4);
        VARIANT_BOOL* claimed = a.RefBool(5);
        if (!a.Good())
            return rejected();
        if (dispid == kEventStopped)
            handler.OnDownloadStopped(id, state, elapsed, owner, scope, claimed);
        else
            handler.OnDownloadCompleted(id, state, elapsed, owner, scope, claimed);
        break;
    }
    case kEventDeleted:
    {
        const LONG id = a.Long(0);
        if (!a.Good())
            return rejected();
        handler.OnDownloadDeleted(id);
        break;
    }
    case kEventFileInfo:
    {
        IEngineEventHandler::FileInfo info{};
        info.id = a.Long(0);
        info.totalSize = a.ULong(1);
        info.loadedSize = a.ULong(2);
        (void)a.Long(3);     // server status
        (void)a.Text(4);     // content type
        (void)a.Double(5);   // last modified
        (void)a.Bool(6);     // resumable
        info.state = a.Long(7);
        info.owner = a.Window(8);
        info.scope = a.Long(9);
        info.folder = a.RefText(10);
        info.fileName = a.RefText(11);
        info.claimed = a.RefBool(12);
        info.cancel = a.RefBool(13);
        if (!a.Good())
            return rejected();
        handler.OnDownloadFileInfo(info);
        break;
    }
    case kEventResumeSupport:
    {
        const LONG id = a.Long(0);
        const bool resumable = a.Bool(1);
        if (!a.Good())
            return rejected();
        handler.OnResumeSupportChanged(id, resumable);
        break;
    }
    case kEventProgress:
    {
        IEngineEventHandler::Progress progress{};
        progress.id = a.Long(0);
        (void)a.Long(1);  // bytes since the last event
        progress.loadedSize = a.ULong(2);
        progress.elapsed = a.Double(3);
        progress.currentSpeed = a.Long(4);
        progress.averageSpeed = a.Long(5);
        (void)a.Double(6);  // the engine's own estimate of the time left
        (void)a.Long(7);    // connections
        if (!a.Good())
            return rejected();
        handler.OnDownloadProgress(progress);
        break;
    }
    case kEventError:
    {
        const LONG id = a.Long(0);
        (void)a.Long(1);  // error code
        (void)a.Text(2);  // error text
        const LONG state = a.Long(3);
        (void)a.Long(4);  // owner window
        const LONG scope = a.Long(5);
        VARIANT_BOOL* claimed = a.RefBool(6);
        if (!a.Good())
            return rejected();
        handler.OnDownloadError(id, state, scope, claimed);
        break;
    }
    case kEventInfoChanged:
    case kEventSections:
    {
        const LONG id = a.Long(0);
        const VARIANT& value = a.Any(1);
        if (!a.Good())
            return rejected();
        if (dispid == kEventInfoChanged)
            handler.OnDownloadInfoChanged(id, value);
        else
            handler.OnSectionsChanged(id, value);
        break;
    }
    case kEventRestarted:
    {
        const LONG id = a.Long(0);
        (void)a.Long(1);  // reason
        const ULONG totalSize = a.ULong(2), loadedSize = a.ULong(3);
        const LONG state = a.Long(4);
        const double elapsed = a.Double(5);
        if (!a.Good())
            return rejected();
        handler.OnDownloadRestarted(id, totalSize, loadedSize, state, elapsed);
        break;
    }
    case kEventCredentials:
    {
        IEngineEventHandler::Credentials request{};
        request.id = a.Long(0);
        request.owner = a.Window(1);
        request.scope = a.Long(2);
        request.url = a.Text(3);
        request.realm = a.Text(4);
        (void)a.Long(5);  // attempt
        request.proxy = a.Bool(6);
        request.userName = a.RefText(7);
        request.password = a.RefText(8);
        request.remember = a.RefBool(9);
        request.cancel = a.RefBool(10);
        request.claimed = a.RefBool(11);
        if (!a.Good())
            return rejected();
        handler.OnCredentialsRequired(request);
        break;
    }
    case kEventLogOption:
    {
        (void)a.Bool(0);
        (void)a.Long(1);
        const bool perDownload = a.Bool(2);
        if (!a.Good())
            return rejected();
        handler.OnLogOptionChanged(perDownload);
        break;
    }
    case kEventLanguage:
    {
        const WORD language = a.Word(0);
        if (!a.Good())
            return rejected();
        handler.OnLanguageChanged(language);
        break;
    }
    case kEventSectionProgress:
    {
        const LONG id = a.Long(0), section = a.Long(1), sectionCount = a.Long(2);
        const ULONG loaded = a.ULong(3), sectionLoaded = a.ULong(4);
        (void)a.ULong(5);  // section length
        (void)a.Long(6);   // section speed
        if (!a.Good())
            return rejected();
        handler.OnSectionProgress(id, section, sectionCount, loaded, sectionLoaded);
        break;
    }
    case kEventSectionFinished:
    {
        const LONG id = a.Long(0);
        (void)a.Long(1);  // result
        const LONG section = a.Long(2), sectionCount = a.Long(3);
        if (!a.Good())
            return rejected();
        handler.OnSectionFinished(id, section, sectionCount);
        break;
    }
    case kEventPriority:
    {
        const LONG id = a.Long(0), priority = a.Long(1);
        if (!a.Good())
            return rejected();
        handler.OnPriorityChanged(id, priority);
        break;
    }
    case kEventTrafficMode:
    {
        const LONG mode = a.Long(0);
        if (!a.Good())
            return rejected();
        handler.OnTrafficModeChanged(mode);
        break;
    }
    case kEventRenamed:
    {
        const LONG id = a.Long(0);
        const BSTR url = a.Text(1), path = a.Text(2);
        if (!a.Good())
            return rejected();
        handler.OnDownloadRenamed(id, url, path);
        break;
    }
    case kEventInterface:
    {
        const bool languageResources = a.Bool(0);
        if (!a.Good())
            return rejected();
        handler.OnInterfaceChanged(languageResources);
        break;
    }
    default:
        break;
    }
    return S_OK;
}

}  // namespace

HRESULT DispatchEngineEvent(DISPID dispid, const DISPPARAMS* params, IEngineEventHandler& handler) noexcept
{
    try
    {
        return Route(dispid, params, handler);
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
        return E_UNEXPECTED;
    }
}

STDMETHODIMP CEngineEventSink::QueryInterface(REFIID riid, void** ppv)
try
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IDispatch) &&
        !::IsEqualIID(riid, DIID__IDownloadEngineEvents))
        return E_NOINTERFACE;
    *ppv = static_cast<_IDownloadEngineEvents*>(this);
    AddRef();
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP_(ULONG) CEngineEventSink::AddRef()
try
{
    return m_owner.AddRef();
}
TDM_COM_CATCH

STDMETHODIMP_(ULONG) CEngineEventSink::Release()
try
{
    return m_owner.Release();
}
TDM_COM_CATCH

STDMETHODIMP CEngineEventSink::GetTypeInfoCount(UINT* count)
try
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CEngineEventSink::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
try
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    return CModule::Instance().GetTypeInfo(DIID__IDownloadEngineEvents, info, kEngineTypeLib);
}
TDM_COM_CATCH

STDMETHODIMP CEngineEventSink::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
try
{
    com_ptr<ITypeInfo> info;
    RETURN_IF_FAILED(CModule::Instance().GetTypeInfo(DIID__IDownloadEngineEvents, info.put(), kEngineTypeLib));
    return info->GetIDsOfNames(names, count, ids);
}
TDM_COM_CATCH

STDMETHODIMP CEngineEventSink::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                      UINT*)
try
{
    (void)DispatchEngineEvent(dispid, params, m_handler);
    return S_OK;
}
TDM_COM_CATCH

}  // namespace tdm
