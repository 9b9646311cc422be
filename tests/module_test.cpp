// The module's class objects, instances, lock count and automation, tested both
// on the module code linked into this program and on the built tdm.dll.
#include <windows.h>
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "framework/dispatch.h"
#include "framework/error.h"
#include "framework/object.h"
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

// A member that reports the module's lock count when it is destroyed.
struct LockWitness
{
    LONG* locksSeen = nullptr;
    ~LockWitness()
    {
        if (locksSeen)
            *locksSeen = CModule::Instance().LockCount();
    }
};

// A band whose IsVisible raises `thrown` (a CComError, or std::bad_alloc for
// E_OUTOFMEMORY), written the way the module's COM methods are.
class CRaisingBand : public CObjectRoot, public CDispatchImpl<ITolBand>
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept
    {
        static const InterfaceEntry entries[] = {
            TDM_INTERFACE(CRaisingBand, ITolBand),
            TDM_INTERFACE_VIA(CRaisingBand, IDispatch, ITolBand),
        };
        *count = 2;
        return entries;
    }
    STDMETHODIMP IsVisible(VARIANT_BOOL*) override
    try
    {
        if (thrown == E_OUTOFMEMORY)
            throw std::bad_alloc();
        throw CComError(thrown, IID_ITolBand);
    }
    TDM_COM_CATCH

    HRESULT thrown = E_FAIL;
    LockWitness member;
};

// An object that answers no interface, not even IUnknown.
class CNoIdentity : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

// Handles of this process, from the system's handle list (Wine answers 0 to
// GetProcessHandleCount).
size_t ProcessHandleCount()
{
    struct HandleEntry
    {
        USHORT process, backTrace;
        UCHAR type, attributes;
        USHORT value;
        void* object;
        ULONG access;
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"),
                                                                "NtQuerySystemInformation"));
    constexpr ULONG kSystemHandleInformation = 16;
    std::vector<BYTE> buffer(1 << 16);
    ULONG needed = 0;
    LONG status = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           static_cast<LONG>(0xC0000004))  // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(buffer.size() * 2);
    EXPECT_EQ(0, status);
    const ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(void*));
    size_t own = 0;
    for (ULONG i = 0; i < count; ++i)
        own += entries[i].process == static_cast<USHORT>(::GetCurrentProcessId());
    return own;
}

// Bytes in use in every heap of the process.
size_t HeapBytesInUse()
{
    std::vector<HANDLE> heaps(::GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    size_t bytes = 0;
    for (HANDLE heap : heaps)
    {
        PROCESS_HEAP_ENTRY entry{};
        ::HeapLock(heap);
        while (::HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                bytes += entry.cbData;
        ::HeapUnlock(heap);
    }
    return bytes;
}

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

TEST(ModuleTest, ARaisingMethodReachesItsCallerAsAnHResultAlsoThroughInvoke)
{
    ComApartment apartment;
    const struct
    {
        HRESULT thrown;
        HRESULT expected;
    } cases[] = {{E_ACCESSDENIED, E_ACCESSDENIED}, {E_OUTOFMEMORY, E_OUTOFMEMORY}, {S_FALSE, E_FAIL}};
    for (const auto& c : cases)
    {
        CComObject<CRaisingBand>* object = nullptr;
        ASSERT_EQ(S_OK, CComObject<CRaisingBand>::CreateInstance(&object));
        com_ptr<ITolBand> band;
        ASSERT_EQ(S_OK, object->QueryInterface(IID_ITolBand, band.put_void()));
        object->thrown = c.thrown;
        VARIANT_BOOL visible = VARIANT_TRUE;
        EXPECT_EQ(c.expected, band->IsVisible(&visible)) << std::hex << c.thrown;

        DISPID id = DISPID_UNKNOWN;
        LPOLESTR name = const_cast<LPOLESTR>(L"IsVisible");
        ASSERT_EQ(S_OK, band->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
        DISPPARAMS none{};
        VARIANT result;
        ::VariantInit(&result);
        EXCEPINFO exception{};
        const HRESULT hr = band->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, &result,
                                        &exception, nullptr);
        // The type library's Invoke hands a failing HRESULT back either as it is
        // or as DISP_E_EXCEPTION with the status in the exception information.
        EXPECT_TRUE(hr == c.expected || (hr == DISP_E_EXCEPTION && exception.scode == c.expected)) << std::hex << hr;
        ::SysFreeString(exception.bstrSource);
        ::SysFreeString(exception.bstrDescription);
        ::SysFreeString(exception.bstrHelpFile);
    }
    EXPECT_EQ(0, CModule::Instance().LockCount());
}

TEST(ModuleTest, AnObjectHoldsTheModuleUntilItsLastMemberIsDestroyed)
{
    CComObject<CRaisingBand>* object = nullptr;
    ASSERT_EQ(S_OK, CComObject<CRaisingBand>::CreateInstance(&object));
    LONG locksSeen = -1;
    object->member.locksSeen = &locksSeen;
    object->AddRef();
    object->Release();
    EXPECT_EQ(1, locksSeen) << "the module lock was given back before the object's members were destroyed";
    EXPECT_EQ(0, CModule::Instance().LockCount());
}

TEST(ModuleTest, ObjectsWhoseIdentityCannotBeReadAreNotTheSame)
{
    CNoIdentity a, b;
    EXPECT_FALSE(SameObject(&a, &b));
    EXPECT_TRUE(SameObject(&a, &a));
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

// The browser frees idle modules (CoFreeUnusedLibraries) and loads them again on
// the next use: no cycle may leave a handle or heap block behind.
TEST(ModuleTest, BuiltModuleUnloadsOnlyWithoutLiveObjectsAndLeaksNothingAcrossCycles)
{
    ComApartment apartment;
    const std::wstring path = test::TdmDllPath();
    constexpr int kWarmUp = 5;
    constexpr int kCycles = 50;
    size_t handlesBefore = 0, heapBefore = 0;
    for (int cycle = 0; cycle < kWarmUp + kCycles; ++cycle)
    {
        if (cycle == kWarmUp)
        {
            handlesBefore = ProcessHandleCount();
            heapBefore = HeapBytesInUse();
        }
        HMODULE module = ::LoadLibraryW(path.c_str());
        ASSERT_TRUE(module);
        auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
            ::GetProcAddress(module, "DllGetClassObject"));
        auto canUnloadNow = reinterpret_cast<HRESULT(WINAPI*)()>(::GetProcAddress(module, "DllCanUnloadNow"));
        ASSERT_TRUE(getClassObject && canUnloadNow);
        for (const ClassCase& c : kClasses)
        {
            com_ptr<IClassFactory> factory;
            ASSERT_EQ(S_OK, getClassObject(*c.clsid, IID_IClassFactory, factory.put_void())) << c.name;
            com_ptr<IDispatch> object;
            ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.put_void())) << c.name;
            // Through the type library, which the module loads and must let go of.
            com_ptr<ITypeInfo> info;
            EXPECT_EQ(S_OK, object->GetTypeInfo(0, 0, info.put())) << c.name;
            info.reset();
            if (cycle == 0)
            {
                EXPECT_EQ(S_FALSE, canUnloadNow()) << c.name;
            }
        }
        ASSERT_EQ(S_OK, canUnloadNow());
        ::FreeLibrary(module);
    }
    EXPECT_EQ(handlesBefore, ProcessHandleCount()) << "handles left behind by " << kCycles << " cycles";
    const long long heapGrowth = static_cast<long long>(HeapBytesInUse()) - static_cast<long long>(heapBefore);
    EXPECT_LT(heapGrowth, 16 * 1024) << "heap left behind by " << kCycles << " cycles";
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
