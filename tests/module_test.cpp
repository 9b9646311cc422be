// The module's class objects, instances, lock count and automation, tested both
// on the module code linked into this program and on the built tdm.dll.
#include <windows.h>
#include <gtest/gtest.h>

#include <iterator>
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

LONG Locks() { return CModule::Instance().LockCount(); }

com_ptr<IClassFactory> ClassObject(REFCLSID clsid)
{
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(S_OK, CModule::Instance().GetClassObject(clsid, IID_IClassFactory, factory.put_void()));
    return factory;
}

const struct ClassCase { const char* name; const CLSID* clsid; const IID* dual; bool singleton; } kClasses[] = {
    {"TolDloadMr", &CLSID_TolDloadMr, &IID_ITolDloadMr, false},
    {"TolBand", &CLSID_TolBand, &IID_ITolBand, false},
    {"TolDownloadHelper", &CLSID_TolDownloadHelper, &IID_ITolDownloadHelper, true},
    {"TolDownloadToolbar", &CLSID_TolDownloadToolbar, &IID_ITolDownloadToolbar, false},
};

// An object that answers no interface, not even IUnknown; it counts no references.
struct CNoIdentity : IUnknown
{
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

// A minimal controlling unknown for aggregation tests.
struct Outer : CNoIdentity
{
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!IsEqualIID(riid, IID_IUnknown))
            return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
        *ppv = this;
        return S_OK;
    }
    com_ptr<IUnknown> inner;
};

// A member that reports the module's lock count when it is destroyed.
struct LockWitness
{
    LONG* locksSeen = nullptr;
    ~LockWitness()
    {
        if (locksSeen)
            *locksSeen = Locks();
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

// Handles of this process (Wine answers 0 to GetProcessHandleCount): the
// valid values among the first 16384, where both systems hand them out.
size_t ProcessHandleCount()
{
    size_t count = 0;
    DWORD flags = 0;
    for (UINT_PTR value = 4; value < 0x10000; value += 4)
        count += ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    return count;
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
            bytes += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ? entry.cbData : 0;
        ::HeapUnlock(heap);
    }
    return bytes;
}

// "Name: help string" of a member of a type (MEMBERID_NIL: of the type itself).
std::string Documentation(ITypeInfo* info, MEMBERID member)
{
    unique_bstr name, help;
    EXPECT_EQ(S_OK, info->GetDocumentation(member, name.put(), help.put(), nullptr, nullptr));
    return Utf8FromWide(WideFromBstr(name.get())) + ": " + Utf8FromWide(WideFromBstr(help.get()));
}

}  // namespace

TEST(ModuleTest, ClassObjectsMakeInstancesOfTheirKind)
{
    com_ptr<IClassFactory> unknown;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              CModule::Instance().GetClassObject(IID_IUnknown, IID_IClassFactory, unknown.put_void()));
    EXPECT_FALSE(unknown);
    for (const ClassCase& c : kClasses)
    {
        SCOPED_TRACE(c.name);
        com_ptr<IClassFactory> factory = ClassObject(*c.clsid);
        ASSERT_TRUE(factory);
        com_ptr<IUnknown> first, second, dual, dispatch, none;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, first.put_void()));
        // Through a second class object request: a singleton gives its one instance.
        ASSERT_EQ(S_OK, ClassObject(*c.clsid)->CreateInstance(nullptr, IID_IUnknown, second.put_void()));
        EXPECT_EQ(c.singleton, first.get() == second.get());
        EXPECT_EQ(2, Locks()) << "each reference holds the module";
        EXPECT_EQ(S_OK, factory->LockServer(TRUE));
        EXPECT_EQ(3, Locks());
        EXPECT_EQ(S_OK, factory->LockServer(FALSE));
        EXPECT_EQ(S_OK, first->QueryInterface(*c.dual, dual.put_void()));
        EXPECT_EQ(S_OK, first->QueryInterface(IID_IDispatch, dispatch.put_void()));
        EXPECT_EQ(dual.get(), dispatch.get()) << "IDispatch is the dual interface";
        EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_IPersist, none.put_void()));
        EXPECT_TRUE(SameObject(dual.get(), first.get()));

        // An aggregate must be asked for IUnknown; the singleton is never one.
        Outer outer;
        EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IDispatch, outer.inner.put_void()));
        const HRESULT aggregated = factory->CreateInstance(&outer, IID_IUnknown, outer.inner.put_void());
        EXPECT_EQ(c.singleton ? CLASS_E_NOAGGREGATION : S_OK, aggregated);
        if (SUCCEEDED(aggregated))
        {
            // Interfaces of the inner object delegate their IUnknown to the outer one.
            com_ptr<IDispatch> inner;
            com_ptr<IUnknown> identity;
            ASSERT_EQ(S_OK, outer.QueryInterface(IID_IDispatch, inner.put_void()));
            ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, identity.put_void()));
            EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.get());
        }
    }
    EXPECT_EQ(0, Locks()) << "the class objects' own references do not lock the module";
}

// The object's module lock also outlives its members: one of them reports the
// lock count when it is destroyed.
TEST(ModuleTest, ARaisingMethodReachesItsCallerAsAnHResultAlsoThroughInvoke)
{
    const struct
    {
        HRESULT thrown, expected;
    } cases[] = {{E_ACCESSDENIED, E_ACCESSDENIED}, {E_OUTOFMEMORY, E_OUTOFMEMORY}, {S_FALSE, E_FAIL}};
    for (const auto& c : cases)
    {
        LONG locksSeen = -1;
        {
            CComObject<CRaisingBand>* object = nullptr;
            ASSERT_EQ(S_OK, CComObject<CRaisingBand>::CreateInstance(&object));
            com_ptr<ITolBand> band;
            ASSERT_EQ(S_OK, object->QueryInterface(IID_ITolBand, band.put_void()));
            object->thrown = c.thrown;
            object->member.locksSeen = &locksSeen;
            VARIANT_BOOL visible = VARIANT_TRUE;
            EXPECT_EQ(c.expected, band->IsVisible(&visible)) << std::hex << c.thrown;

            DISPID id = DISPID_UNKNOWN;
            LPOLESTR name = const_cast<LPOLESTR>(L"IsVisible");
            ASSERT_EQ(S_OK, band->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
            DISPPARAMS none{};
            unique_variant result;
            EXCEPINFO exception{};
            const HRESULT hr = band->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none,
                                            result.put(), &exception, nullptr);
            // The type library's Invoke hands a failing HRESULT back either as it is
            // or as DISP_E_EXCEPTION with the status in the exception information.
            EXPECT_TRUE(hr == c.expected || (hr == DISP_E_EXCEPTION && exception.scode == c.expected)) << std::hex << hr;
            for (BSTR text : {exception.bstrSource, exception.bstrDescription, exception.bstrHelpFile})
                ::SysFreeString(text);
        }
        EXPECT_EQ(1, locksSeen) << "the module lock was given back before the object's members were destroyed";
        EXPECT_EQ(0, Locks());
    }
}

TEST(ModuleTest, ObjectsWhoseIdentityCannotBeReadAreNotTheSame)
{
    CNoIdentity a, b;
    EXPECT_FALSE(SameObject(&a, &b));
    EXPECT_TRUE(SameObject(&a, &a));
}

TEST(ModuleTest, TypeLibrariesDescribeTheInterfacesAndClasses)
{
    // Its name, version and identity are checked where registration writes them.
    com_ptr<ITypeLib> library;
    ASSERT_EQ(S_OK, ::LoadTypeLibEx(test::TdmDllPath().c_str(), REGKIND_NONE, library.put()));
    for (const ClassCase& c : kClasses)
    {
        com_ptr<ITypeInfo> dual, coclass;
        ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(*c.dual, dual.put())) << c.name;
        ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(*c.clsid, coclass.put())) << c.name;
        EXPECT_EQ(std::string("I") + c.name + ": I" + c.name + " Interface", Documentation(dual.get(), MEMBERID_NIL));
        EXPECT_EQ(std::string(c.name) + ": " + c.name + " Class", Documentation(coclass.get(), MEMBERID_NIL));
    }

    // The helper's own methods follow IDispatch's seven in the vtable of the
    // interface part of the dual interface, in table order.
    com_ptr<ITypeInfo> helper, vtable;
    HREFTYPE reference = 0;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_ITolDownloadHelper, helper.put()));
    ASSERT_EQ(S_OK, helper->GetRefTypeOfImplType(-1, &reference));
    ASSERT_EQ(S_OK, helper->GetRefTypeInfo(reference, vtable.put()));
    const char* expected[] = {"ShowTolDownloadBand", "CreateDownload", "RegisterBand", "UnregisterBand",
                              "GetBandHWND", "CreateDownloads", "RegisterToolbar", "GetToolbarHWND",
                              "UnregisterToolbar", "IsSiteSet", "GetExplorerHWND", "IsCurrentBandShown"};
    for (UINT i = 0; i < std::size(expected); ++i)
    {
        FUNCDESC* function = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &function)) << i;
        EXPECT_EQ(static_cast<SHORT>((7 + i) * sizeof(void*)), function->oVft) << expected[i];
        EXPECT_EQ(std::string(expected[i]) + ": method " + expected[i], Documentation(vtable.get(), function->memid));
        vtable->ReleaseFuncDesc(function);
    }

    // The engine's events come from the module's second type library.
    com_ptr<ITypeInfo> events;
    ASSERT_EQ(S_OK, CModule::Instance().GetTypeInfo(DIID__IDownloadEngineEvents, events.put(), 2));
    EXPECT_EQ("DownloadCompleted: ", Documentation(events.get(), 8));
}

// The browser frees idle modules (CoFreeUnusedLibraries) and loads them again on
// the next use: no cycle may leave a handle or heap block behind.
TEST(ModuleTest, BuiltModuleUnloadsOnlyWithoutLiveObjectsAndLeaksNothingAcrossCycles)
{
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // as on a browser thread
    const std::wstring path = test::TdmDllPath();
    constexpr int kWarmUp = 5, kCycles = 50;
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
            EXPECT_TRUE(cycle > 0 || canUnloadNow() == S_FALSE) << c.name << " is alive";
        }
        ASSERT_EQ(S_OK, canUnloadNow());
        ::FreeLibrary(module);
    }
    EXPECT_EQ(handlesBefore, ProcessHandleCount()) << "handles left behind by " << kCycles << " cycles";
    const long long heapGrowth = static_cast<long long>(HeapBytesInUse()) - static_cast<long long>(heapBefore);
    EXPECT_LT(heapGrowth, 16 * 1024) << "heap left behind by " << kCycles << " cycles";
    ::CoUninitialize();
}

TEST(ModuleTest, VersionResourceAndManifestNameTheProduct)
{
    const std::wstring path = test::TdmDllPath();
    std::vector<BYTE> data(::GetFileVersionInfoSizeW(path.c_str(), nullptr));
    ASSERT_TRUE(!data.empty() && ::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    wchar_t* description = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ((std::vector<DWORD>{6, 1, 6, 1}), (std::vector<DWORD>{fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                                    fixed->dwProductVersionMS, fixed->dwProductVersionLS}));
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\FileDescription",
                                 reinterpret_cast<void**>(&description), &length));
    EXPECT_STREQ(L"Tolvane Download Manager Client", description);

    unique_hmodule module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    HRSRC resource = ::FindResourceW(module.get(), MAKEINTRESOURCEW(3), RT_MANIFEST);
    ASSERT_NE(nullptr, resource) << "no manifest with id 3";
    const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(module.get(), resource))),
                               ::SizeofResource(module.get(), resource));
#ifdef _WIN64
    constexpr const char* kManifestArchitecture = "processorArchitecture=\"amd64\"";
#else
    constexpr const char* kManifestArchitecture = "processorArchitecture=\"X86\"";
#endif
    for (const char* part : {"name=\"Tolvane.DownloadManagerClient\"", "version=\"1.0.0.0\"",
                             kManifestArchitecture, "<description>Tolvane Download Manager Client.</description>",
                             "name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
                             "publicKeyToken=\"6595b64144ccf1df\"", "language=\"*\""})
        EXPECT_NE(std::string::npos, manifest.find(part)) << part;
}
