// The module's class objects, instances, lock count and automation, tested both
// on the module code linked into this program and on the built tdm.dll.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "framework/module.h"
#include "framework/unique_any.h"
#include "support/process.h"
#include "engine_h.h"
#include "tdm_h.h"

using namespace tdm;

namespace {

struct ComApartment
{
    ComApartment() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { ::CoUninitialize(); }
};

com_ptr<IClassFactory> ClassObject(REFCLSID clsid)
{
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(S_OK, CModule::Instance().GetClassObject(clsid, IID_IClassFactory, factory.put_void()));
    return factory;
}

struct ClassCase
{
    const char* name;
    const CLSID* clsid;
    const IID* dual;
    bool singleton;
};

const ClassCase kClasses[] = {
    {"TolDloadMr", &CLSID_TolDloadMr, &IID_ITolDloadMr, false},
    {"TolBand", &CLSID_TolBand, &IID_ITolBand, false},
    {"TolDownloadHelper", &CLSID_TolDownloadHelper, &IID_ITolDownloadHelper, true},
    {"TolDownloadToolbar", &CLSID_TolDownloadToolbar, &IID_ITolDownloadToolbar, false},
};

// A minimal controlling unknown for aggregation tests.
class Outer : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown))
        {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
    com_ptr<IUnknown> inner;
};

}  // namespace

TEST(ModuleTest, UnknownClassIsNotAvailable)
{
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              CModule::Instance().GetClassObject(IID_IUnknown, IID_IClassFactory, factory.put_void()));
    EXPECT_FALSE(factory);
}

TEST(ModuleTest, EveryClassAnswersItsDualInterfaceAndIDispatchAsOneObject)
{
    ComApartment apartment;
    for (const ClassCase& c : kClasses)
    {
        com_ptr<IClassFactory> factory = ClassObject(*c.clsid);
        ASSERT_TRUE(factory) << c.name;
        com_ptr<IUnknown> object;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, object.put_void())) << c.name;
        com_ptr<IUnknown> dual, dispatch;
        EXPECT_EQ(S_OK, object->QueryInterface(*c.dual, dual.put_void())) << c.name;
        EXPECT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.put_void())) << c.name;
        EXPECT_EQ(dual.get(), dispatch.get()) << c.name << ": IDispatch is the dual interface";
        com_ptr<IUnknown> none;
        EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IPersist, none.put_void())) << c.name;
        EXPECT_TRUE(SameObject(dual.get(), object.get())) << c.name;
    }
    EXPECT_EQ(0, CModule::Instance().LockCount());
}

TEST(ModuleTest, OrdinaryClassesMakeNewInstancesAndAcceptAggregation)
{
    ComApartment apartment;
    for (const ClassCase& c : kClasses)
    {
        if (c.singleton)
            continue;
        com_ptr<IClassFactory> factory = ClassObject(*c.clsid);
        com_ptr<IUnknown> first, second;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, first.put_void()));
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, second.put_void()));
        EXPECT_NE(first.get(), second.get()) << c.name;
        EXPECT_EQ(2, CModule::Instance().LockCount()) << c.name << ": each instance holds the module";

        Outer outer;
        EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IDispatch, outer.inner.put_void()))
            << c.name << ": an aggregate must be asked for IUnknown";
        ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, outer.inner.put_void())) << c.name;
        // Interfaces of the inner object delegate their IUnknown to the outer one.
        com_ptr<IDispatch> dispatch;
        ASSERT_EQ(S_OK, outer.QueryInterface(IID_IDispatch, dispatch.put_void())) << c.name;
        com_ptr<IUnknown> identity;
        ASSERT_EQ(S_OK, dispatch->QueryInterface(IID_IUnknown, identity.put_void()));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.get()) << c.name;
        identity.reset();
        dispatch.reset();
        outer.inner.reset();
    }
    EXPECT_EQ(0, CModule::Instance().LockCount());
}

TEST(ModuleTest, HelperClassObjectIsASingletonWithoutAggregation)
{
    ComApartment apartment;
    com_ptr<IClassFactory> factory = ClassObject(CLSID_TolDownloadHelper);
    com_ptr<IUnknown> first, second;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, first.put_void()));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, second.put_void()));
    EXPECT_EQ(first.get(), second.get());
    // A second class object request gives the same class object and instance.
    com_ptr<IUnknown> third;
    ASSERT_EQ(S_OK, ClassObject(CLSID_TolDownloadHelper)->CreateInstance(nullptr, IID_IUnknown, third.put_void()));
    EXPECT_EQ(first.get(), third.get());
    Outer outer;
    com_ptr<IUnknown> aggregated;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IUnknown, aggregated.put_void()));
    EXPECT_FALSE(aggregated);
    first.reset();
    second.reset();
    third.reset();
    EXPECT_EQ(0, CModule::Instance().LockCount()) << "the class object's own reference does not lock the module";
}

TEST(ModuleTest, LockServerCountsTowardsTheLock)
{
    com_ptr<IClassFactory> factory = ClassObject(CLSID_TolBand);
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(1, CModule::Instance().LockCount());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(0, CModule::Instance().LockCount());
}

TEST(ModuleTest, AutomationGoesThroughTheTypeLibrary)
{
    ComApartment apartment;
    com_ptr<IDispatch> helper;
    ASSERT_EQ(S_OK, ClassObject(CLSID_TolDownloadHelper)->CreateInstance(nullptr, IID_IDispatch, helper.put_void()));
    UINT count = 0;
    EXPECT_EQ(S_OK, helper->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    const wchar_t* names[] = {L"ShowTolDownloadBand", L"CreateDownload", L"RegisterBand", L"UnregisterBand",
                              L"GetBandHWND", L"CreateDownloads", L"RegisterToolbar", L"GetToolbarHWND",
                              L"UnregisterToolbar", L"IsSiteSet", L"GetExplorerHWND", L"IsCurrentBandShown"};
    for (const wchar_t* name : names)
    {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR text = const_cast<LPOLESTR>(name);
        EXPECT_EQ(S_OK, helper->GetIDsOfNames(IID_NULL, &text, 1, 0, &id)) << NarrowFromWide(name, wcslen(name));
        EXPECT_NE(DISPID_UNKNOWN, id);
    }
    DISPID id = 0;
    LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchMethod");
    EXPECT_EQ(DISP_E_UNKNOWNNAME, helper->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id));
    // Calling through Invoke reaches the vtable method (CreateDownloads is not
    // implemented, so its status comes back as an exception or the HRESULT).
    LPOLESTR createDownloads = const_cast<LPOLESTR>(L"CreateDownloads");
    ASSERT_EQ(S_OK, helper->GetIDsOfNames(IID_NULL, &createDownloads, 1, 0, &id));
    VARIANT argument;
    ::VariantInit(&argument);
    argument.vt = VT_DISPATCH;
    argument.pdispVal = nullptr;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    EXCEPINFO exception{};
    const HRESULT hr = helper->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &exception, nullptr);
    EXPECT_TRUE(hr == E_NOTIMPL || (hr == DISP_E_EXCEPTION && exception.scode == E_NOTIMPL)) << std::hex << hr;
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
}

TEST(ModuleTest, TypeLibraryDescribesTheHelperInterfaceInOrder)
{
    com_ptr<ITypeLib> library;
    ASSERT_EQ(S_OK, ::LoadTypeLibEx(test::TdmDllPath().c_str(), REGKIND_NONE, library.put()));
    unique_bstr name, doc;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr));
    EXPECT_EQ("TolDownloadClientLib", NarrowFromBstr(name.get()));
    EXPECT_EQ("TolDownloadClient 1.0 Type Library", NarrowFromBstr(doc.get()));
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, LIBID_TolDownloadClientLib));
    library->ReleaseTLibAttr(attributes);

    com_ptr<ITypeInfo> helper;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_ITolDownloadHelper, helper.put()));
    // The dual interface's own methods follow IDispatch's seven, in table order.
    const char* expected[] = {"ShowTolDownloadBand", "CreateDownload", "RegisterBand", "UnregisterBand",
                              "GetBandHWND", "CreateDownloads", "RegisterToolbar", "GetToolbarHWND",
                              "UnregisterToolbar", "IsSiteSet", "GetExplorerHWND", "IsCurrentBandShown"};
    com_ptr<ITypeInfo> dispatchPart;
    HREFTYPE reference = 0;
    // For a dual interface GetTypeInfoOfGuid gives the dispinterface; its
    // interface part has the vtable layout.
    if (SUCCEEDED(helper->GetRefTypeOfImplType(-1, &reference)))
    {
        ASSERT_EQ(S_OK, helper->GetRefTypeInfo(reference, dispatchPart.put()));
    }
    ITypeInfo* vtable = dispatchPart ? dispatchPart.get() : helper.get();
    for (size_t i = 0; i < sizeof(expected) / sizeof(expected[0]); ++i)
    {
        FUNCDESC* function = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc(static_cast<UINT>(i), &function)) << i;
        EXPECT_EQ(static_cast<SHORT>((7 + i) * sizeof(void*)), function->oVft) << expected[i];
        unique_bstr method, help;
        ASSERT_EQ(S_OK, vtable->GetDocumentation(function->memid, method.put(), help.put(), nullptr, nullptr));
        EXPECT_EQ(expected[i], NarrowFromBstr(method.get()));
        EXPECT_EQ(std::string("method ") + expected[i], NarrowFromBstr(help.get()));
        vtable->ReleaseFuncDesc(function);
    }
    struct Documented
    {
        const GUID* guid;
        const char* help;
    };
    const Documented documented[] = {
        {&IID_ITolDloadMr, "ITolDloadMr Interface"},   {&IID_ITolBand, "ITolBand Interface"},
        {&IID_ITolDownloadHelper, "ITolDownloadHelper Interface"},
        {&IID_ITolDownloadToolbar, "ITolDownloadToolbar Interface"},
        {&CLSID_TolDloadMr, "TolDloadMr Class"},       {&CLSID_TolBand, "TolBand Class"},
        {&CLSID_TolDownloadHelper, "TolDownloadHelper Class"},
        {&CLSID_TolDownloadToolbar, "TolDownloadToolbar Class"},
    };
    for (const Documented& d : documented)
    {
        com_ptr<ITypeInfo> info;
        ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(*d.guid, info.put())) << d.help;
        unique_bstr help;
        ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, nullptr, help.put(), nullptr, nullptr));
        EXPECT_EQ(d.help, NarrowFromBstr(help.get()));
    }
}

TEST(ModuleTest, BuiltModuleAnswersUnloadOnlyWithoutLiveObjects)
{
    ComApartment apartment;
    unique_hmodule module(::LoadLibraryW(test::TdmDllPath().c_str()));
    ASSERT_TRUE(module);
    using GetClassObjectFunction = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    using CanUnloadNowFunction = HRESULT(WINAPI*)();
    auto getClassObject = reinterpret_cast<GetClassObjectFunction>(::GetProcAddress(module.get(), "DllGetClassObject"));
    auto canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(::GetProcAddress(module.get(), "DllCanUnloadNow"));
    ASSERT_TRUE(getClassObject && canUnloadNow);
    EXPECT_EQ(S_OK, canUnloadNow());
    for (const ClassCase& c : kClasses)
    {
        com_ptr<IClassFactory> factory;
        ASSERT_EQ(S_OK, getClassObject(*c.clsid, IID_IClassFactory, factory.put_void())) << c.name;
        com_ptr<IUnknown> object;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, object.put_void())) << c.name;
        EXPECT_EQ(S_FALSE, canUnloadNow()) << c.name;
        object.reset();
        EXPECT_EQ(S_OK, canUnloadNow()) << c.name;
    }
    com_ptr<IClassFactory> none;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IUnknown, IID_IClassFactory, none.put_void()));
}

TEST(ModuleTest, VersionResourceNamesTheProduct)
{
    const std::wstring path = test::TdmDllPath();
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_NE(0u, size);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(6, 0), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(1, 0), fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(6, 0), fixed->dwProductVersionMS);
    EXPECT_EQ(MAKELONG(1, 0), fixed->dwProductVersionLS);
    wchar_t* text = nullptr;
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\FileDescription",
                                 reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"Tolvane Download Manager Client", text);
}

TEST(ModuleTest, ManifestAsksForCommonControlsSix)
{
    unique_hmodule module(::LoadLibraryExW(test::TdmDllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    HRSRC resource = ::FindResourceW(module.get(), MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, resource) << "no manifest with id 3";
    const char* data = static_cast<const char*>(::LockResource(::LoadResource(module.get(), resource)));
    const std::string manifest(data, ::SizeofResource(module.get(), resource));
    for (const char* part : {"name=\"Tolvane.DownloadManagerClient\"", "version=\"1.0.0.0\"",
                             "processorArchitecture=\"X86\"", "<description>Tolvane Download Manager Client.</description>",
                             "name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
                             "publicKeyToken=\"6595b64144ccf1df\"", "language=\"*\""})
        EXPECT_NE(std::string::npos, manifest.find(part)) << part;
}

TEST(ModuleTest, EngineEventsAreDescribedInsideTheModule)
{
    com_ptr<ITypeInfo> events;
    ASSERT_EQ(S_OK, CModule::Instance().GetTypeInfo(DIID__IDownloadEngineEvents, events.put(), 2));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, events->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_DISPATCH, attributes->typekind);
    events->ReleaseTypeAttr(attributes);
    unique_bstr name;
    ASSERT_EQ(S_OK, events->GetDocumentation(8, name.put(), nullptr, nullptr, nullptr));
    EXPECT_EQ("DownloadCompleted", NarrowFromBstr(name.get()));
}
