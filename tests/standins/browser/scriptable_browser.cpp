// "TolvaneTest.Browser": the stand-in browser for scripts. Creating it (cscript's
// `new ActiveXObject`) opens a browser window on the script's thread, with the
// registered helper object of tdm.dll sited in it as the browser does; releasing
// it closes the window.
//
//   RegisterBandWindow()  registers a bar window of this thread with the helper
//   BarCalls              the ShowBrowserBar calls so far, one a line:
//                         "ShowBrowserBar <clsid> <show> size=<given|null>"
//   SetPage(cookie, href...)  the page the window shows: its cookie and links
//   SetPageAddress(address)   the address of that page
//   Frame                 the frame window's handle, as a number
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "framework/error.h"
#include "framework/module.h"
#include "framework/object.h"
#include "framework/registrar.h"
#include "support/browser_standin.h"
#include "tdm_h.h"

using namespace tdm;
using namespace tdm::test;

namespace {

// {6590E10F-67FE-4D50-A8EF-5814418253A1}
const CLSID CLSID_TestBrowser = {0x6590e10f, 0x67fe, 0x4d50, {0xa8, 0xef, 0x58, 0x14, 0x41, 0x82, 0x53, 0xa1}};

const wchar_t kRegistryScript[] = LR"(HKCR
{
    TolvaneTest.Browser = s 'Tolvane test browser'
    {
        CLSID = s '{6590E10F-67FE-4D50-A8EF-5814418253A1}'
    }
    NoRemove CLSID
    {
        ForceRemove '{6590E10F-67FE-4D50-A8EF-5814418253A1}' = s 'Tolvane test browser'
        {
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
        }
    }
})";

constexpr DISPID kRegisterBandWindow = 1;
constexpr DISPID kBarCalls = 2;
constexpr DISPID kSetPage = 3;
constexpr DISPID kFrame = 4;
constexpr DISPID kSetPageAddress = 5;

std::wstring Describe(const BrowserBarCall& call)
{
    std::wstring text = L"ShowBrowserBar ";
    text += call.clsidType == VT_BSTR ? call.clsid : L"vt=" + std::to_wstring(call.clsidType);
    text += call.showType == VT_BOOL ? (call.show ? L" true" : L" false") : L" vt=" + std::to_wstring(call.showType);
    text += call.sizeGiven ? L" size=given" : L" size=null";
    return text;
}

class CScriptableBrowser : public CObjectRoot, public IDispatch
{
public:
    static const InterfaceEntry* Interfaces(size_t* count)
    {
        static const InterfaceEntry interfaces[] = {TDM_INTERFACE(CScriptableBrowser, IDispatch)};
        *count = 1;
        return interfaces;
    }
    HRESULT FinalConstruct() noexcept { return m_window.Open(); }
    void FinalRelease() noexcept
    {
        if (m_band)
        {
            if (const auto helper = com_ptr<IUnknown>(m_window.Helper()).try_query<ITolDownloadHelper>())
                helper->UnregisterBand(static_cast<LONG>(::GetCurrentThreadId()), m_band.get());
        }
        m_band.reset();
        m_window.Close();
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        RETURN_HR_IF_NULL(E_POINTER, count);
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        RETURN_HR_IF(DISP_E_UNKNOWNNAME, count != 1);
        ids[0] = ::lstrcmpiW(names[0], L"RegisterBandWindow") == 0 ? kRegisterBandWindow
                 : ::lstrcmpiW(names[0], L"BarCalls") == 0         ? kBarCalls
                 : ::lstrcmpiW(names[0], L"SetPage") == 0          ? kSetPage
                 : ::lstrcmpiW(names[0], L"Frame") == 0            ? kFrame
                 : ::lstrcmpiW(names[0], L"SetPageAddress") == 0   ? kSetPageAddress
                                                                   : DISPID_UNKNOWN;
        return ids[0] == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                        UINT*) override
    {
        if (id == kRegisterBandWindow)
            return RegisterBandWindow();
        if (id == kSetPage)
            return SetPage(parameters);
        if (id == kSetPageAddress)
        {
            RETURN_HR_IF(DISP_E_BADPARAMCOUNT, !parameters || parameters->cArgs != 1);
            RETURN_HR_IF(DISP_E_TYPEMISMATCH, V_VT(&parameters->rgvarg[0]) != VT_BSTR);
            const BSTR address = V_BSTR(&parameters->rgvarg[0]);
            m_window.Browser()->SetPageAddress(std::wstring(address, ::SysStringLen(address)));
            return S_OK;
        }
        if (id == kFrame && result)
        {
            V_VT(result) = VT_I4;
            V_I4(result) = static_cast<LONG>(reinterpret_cast<LONG_PTR>(m_window.Frame()));
            return S_OK;
        }
        RETURN_HR_IF(DISP_E_MEMBERNOTFOUND, id != kBarCalls);
        std::wstring text;
        for (const BrowserBarCall& call : m_window.Browser()->BarCalls())
            text += (text.empty() ? L"" : L"\n") + Describe(call);
        if (result)
        {
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = ::SysAllocString(text.c_str());
        }
        return S_OK;
    }

private:
    // Arguments come last to first: the cookie is the last one.
    HRESULT SetPage(DISPPARAMS* parameters)
    {
        RETURN_HR_IF(DISP_E_BADPARAMCOUNT, !parameters || parameters->cArgs < 1);
        std::vector<std::wstring> texts;
        for (UINT i = parameters->cArgs; i-- > 0;)
        {
            RETURN_HR_IF(DISP_E_TYPEMISMATCH, V_VT(&parameters->rgvarg[i]) != VT_BSTR);
            const BSTR text = V_BSTR(&parameters->rgvarg[i]);
            texts.emplace_back(text, ::SysStringLen(text));
        }
        const std::wstring cookie = texts.front();
        texts.erase(texts.begin());
        m_window.Browser()->SetPage(std::move(texts), cookie);
        return S_OK;
    }

    HRESULT RegisterBandWindow()
    {
        RETURN_HR_IF(E_UNEXPECTED, m_band);
        const auto helper = com_ptr<IUnknown>(m_window.Helper()).try_query<ITolDownloadHelper>();
        RETURN_HR_IF_NULL(E_NOINTERFACE, helper);
        m_band.reset(::CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, m_window.Frame(), nullptr,
                                       nullptr, nullptr));
        RETURN_LAST_ERROR_IF(!m_band);
        return helper->RegisterBand(static_cast<LONG>(::GetCurrentThreadId()), m_band.get());
    }

    BrowserWindow m_window;
    unique_hwnd m_band;
};

const ClassEntry kClasses[] = {{&CLSID_TestBrowser, 0, &CClassFactory<CScriptableBrowser>::Create, nullptr}};

HRESULT Register(bool registering) noexcept
try
{
    return RunRegistryScript(kRegistryScript, registering, {{L"MODULE", CModule::Instance().ModulePath()}});
}
catch (...)
{
    return HResultFromCaughtException();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        ::DisableThreadLibraryCalls(instance);
        CModule::Instance().Init(instance, GUID_NULL, kClasses, 1);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return CModule::Instance().GetClassObject(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return CModule::Instance().ReleaseIfUnused() ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return Register(true); }

STDAPI DllUnregisterServer() { return Register(false); }
