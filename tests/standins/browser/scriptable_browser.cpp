// "TolvaneTest.Browser": the stand-in browser for scripts. A script run by
// cscript creates it, calls Attach() to get a browser window on its own thread
// (with the registered helper object of tdm.dll sited in it, as the browser
// does), runs the module's script, and reads back the ShowBrowserBar calls.
//
//   Attach()              opens the window on the calling thread
//   RegisterBandWindow()  registers a bar window of this thread with the helper
//   BarCallCount          number of ShowBrowserBar calls so far
//   BarCall(i)            call i as text: "ShowBrowserBar <clsid> <show> size=<...>"
//   Detach()              unregisters the bar window and closes the browser window
#include <windows.h>
#include <oleauto.h>
#include <memory>
#include <string>

#include "framework/com_ptr.h"
#include "framework/unique_any.h"
#include "support/browser_standin.h"
#include "tdm_h.h"

using namespace tdm;
using namespace tdm::test;

namespace {

// {6590E10F-67FE-4D50-A8EF-5814418253A1}
const CLSID CLSID_TestBrowser = {0x6590e10f, 0x67fe, 0x4d50, {0xa8, 0xef, 0x58, 0x14, 0x41, 0x82, 0x53, 0xa1}};
const wchar_t kClsidText[] = L"{6590E10F-67FE-4D50-A8EF-5814418253A1}";
const wchar_t kProgId[] = L"TolvaneTest.Browser";

HINSTANCE g_instance = nullptr;
volatile LONG g_locks = 0;

enum DispId : DISPID
{
    kAttach = 1,
    kDetach,
    kRegisterBandWindow,
    kBarCallCount,
    kBarCall,
};

const struct
{
    const wchar_t* name;
    DISPID id;
} kNames[] = {
    {L"Attach", kAttach},
    {L"Detach", kDetach},
    {L"RegisterBandWindow", kRegisterBandWindow},
    {L"BarCallCount", kBarCallCount},
    {L"BarCall", kBarCall},
};

std::wstring Describe(const BrowserBarCall& call)
{
    std::wstring text = L"ShowBrowserBar ";
    text += call.clsidType == VT_BSTR ? call.clsid : L"vt=" + std::to_wstring(call.clsidType);
    text += L" ";
    text += call.showType == VT_BOOL ? (call.show ? L"true" : L"false") : L"vt=" + std::to_wstring(call.showType);
    text += call.sizeGiven ? L" size=given" : L" size=null";
    return text;
}

class ScriptableBrowser final : public IDispatch
{
public:
    ScriptableBrowser() { ::InterlockedIncrement(&g_locks); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch))
        {
            AddRef();
            *ppv = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG refs = --m_refs;
        if (refs == 0)
            delete this;
        return refs;
    }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        HRESULT result = S_OK;
        for (UINT i = 0; i < count; ++i)
        {
            ids[i] = DISPID_UNKNOWN;
            for (const auto& entry : kNames)
                if (i == 0 && ::lstrcmpiW(names[i], entry.name) == 0)
                    ids[i] = entry.id;
            if (ids[i] == DISPID_UNKNOWN)
                result = DISP_E_UNKNOWNNAME;
        }
        return result;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override
    {
        if (result)
            ::VariantInit(result);
        switch (id)
        {
        case kAttach:
            return Attach();
        case kDetach:
            Detach();
            return S_OK;
        case kRegisterBandWindow:
            return RegisterBandWindow();
        case kBarCallCount:
            if (result)
            {
                V_VT(result) = VT_I4;
                V_I4(result) = m_window ? static_cast<LONG>(m_window->Browser()->BarCalls().size()) : 0;
            }
            return S_OK;
        case kBarCall:
            return BarCall(params, result);
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    ~ScriptableBrowser()
    {
        Detach();
        ::InterlockedDecrement(&g_locks);
    }

    HRESULT Attach()
    {
        if (m_window)
            return E_UNEXPECTED;
        m_window = std::make_unique<BrowserWindow>();
        return m_window->Open();
    }

    HRESULT RegisterBandWindow()
    {
        if (!m_window || !m_window->Helper() || m_band)
            return E_UNEXPECTED;
        com_ptr<ITolDownloadHelper> helper;
        const HRESULT hr = m_window->Helper()->QueryInterface(IID_ITolDownloadHelper, helper.put_void());
        if (FAILED(hr))
            return hr;
        m_band.reset(::CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, m_window->Frame(), nullptr,
                                       g_instance, nullptr));
        if (!m_band)
            return HRESULT_FROM_WIN32(::GetLastError());
        return helper->RegisterBand(static_cast<LONG>(::GetCurrentThreadId()), m_band.get());
    }

    HRESULT BarCall(DISPPARAMS* params, VARIANT* result)
    {
        if (!params || params->cArgs != 1)
            return DISP_E_BADPARAMCOUNT;
        VARIANT index;
        ::VariantInit(&index);
        if (FAILED(::VariantChangeType(&index, &params->rgvarg[0], 0, VT_I4)))
            return DISP_E_TYPEMISMATCH;
        const auto calls = m_window ? m_window->Browser()->BarCalls() : std::vector<BrowserBarCall>{};
        if (V_I4(&index) < 0 || static_cast<size_t>(V_I4(&index)) >= calls.size())
            return DISP_E_BADINDEX;
        if (result)
        {
            const std::wstring text = Describe(calls[static_cast<size_t>(V_I4(&index))]);
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = ::SysAllocString(text.c_str());
        }
        return S_OK;
    }

    void Detach()
    {
        if (m_window && m_band && m_window->Helper())
        {
            com_ptr<ITolDownloadHelper> helper;
            if (SUCCEEDED(m_window->Helper()->QueryInterface(IID_ITolDownloadHelper, helper.put_void())))
                helper->UnregisterBand(static_cast<LONG>(::GetCurrentThreadId()), m_band.get());
        }
        m_band.reset();
        if (m_window)
            m_window->Close();
        m_window.reset();
    }

    ULONG m_refs = 1;
    std::unique_ptr<BrowserWindow> m_window;
    unique_hwnd m_band;
};

class ClassFactory final : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IClassFactory))
        {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A static object: its references do not count.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) ScriptableBrowser();
        if (!object)
            return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            ::InterlockedIncrement(&g_locks);
        else
            ::InterlockedDecrement(&g_locks);
        return S_OK;
    }
};

ClassFactory g_factory;

LONG SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value)
{
    unique_hkey key;
    LONG error = ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                   key.put(), nullptr);
    if (error != ERROR_SUCCESS)
        return error;
    return ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        g_instance = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!::IsEqualCLSID(clsid, CLSID_TestBrowser))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_locks == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer()
{
    wchar_t path[MAX_PATH] = {};
    if (!::GetModuleFileNameW(g_instance, path, MAX_PATH))
        return HRESULT_FROM_WIN32(::GetLastError());
    const std::wstring classKey = std::wstring(L"CLSID\\") + kClsidText;
    const LONG errors[] = {
        SetText(HKEY_CLASSES_ROOT, kProgId, nullptr, L"Tolvane test browser"),
        SetText(HKEY_CLASSES_ROOT, std::wstring(kProgId) + L"\\CLSID", nullptr, kClsidText),
        SetText(HKEY_CLASSES_ROOT, classKey, nullptr, L"Tolvane test browser"),
        SetText(HKEY_CLASSES_ROOT, classKey + L"\\ProgID", nullptr, kProgId),
        SetText(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", nullptr, path),
        SetText(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"),
    };
    for (const LONG error : errors)
        if (error != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(error);
    return S_OK;
}

STDAPI DllUnregisterServer()
{
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kProgId);
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kClsidText).c_str());
    return S_OK;
}
