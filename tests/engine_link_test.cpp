// The engine link against the engine stand-in of the test prefix: creation and
// connection tried once more, failing calls raised with their status, arguments
// reaching the engine in the right order, events reaching a connected sink.
#include <windows.h>
#include <gtest/gtest.h>
#include <olectl.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_link.h"
#include "framework/error.h"
#include "framework/module.h"
#include "framework/object.h"
#include "framework/unique_any.h"
#include "support/engine_standin.h"

using namespace tdm;

namespace {

// An event sink that records what it receives, in declaration order.
class CRecordingSink : public CObjectRoot, public _IDownloadEngineEvents
{
public:
    struct Received
    {
        DISPID dispid;
        std::vector<std::string> arguments;  // declaration order
        std::vector<VARTYPE> types;
    };

    static const InterfaceEntry* Interfaces(size_t* count) noexcept
    {
        static const InterfaceEntry entries[] = {
            TDM_INTERFACE(CRecordingSink, _IDownloadEngineEvents),
            TDM_INTERFACE_VIA(CRecordingSink, IDispatch, _IDownloadEngineEvents),
        };
        *count = sizeof(entries) / sizeof(entries[0]);
        return entries;
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                        UINT*) override
    {
        Received event{dispid, {}, {}};
        for (UINT i = parameters->cArgs; i-- > 0;)
        {
            const VARIANT& argument = parameters->rgvarg[i];
            event.types.push_back(V_VT(&argument));
            if (V_VT(&argument) == (VT_BOOL | VT_BYREF))
            {
                event.arguments.push_back(std::to_string(*V_BOOLREF(&argument)));
                // The claim protocol: take the event on when nobody has.
                if (claim && *V_BOOLREF(&argument) == VARIANT_FALSE)
                    *V_BOOLREF(&argument) = VARIANT_TRUE;
            }
            else
            {
                event.arguments.push_back(test::VariantText(argument));
            }
        }
        received.push_back(std::move(event));
        if (onEvent)
            onEvent();
        return S_OK;
    }

    bool claim = false;
    std::function<void()> onEvent;
    std::vector<Received> received;
};

com_ptr<CComObject<CRecordingSink>> NewSink()
{
    CComObject<CRecordingSink>* sink = nullptr;
    EXPECT_EQ(S_OK, CComObject<CRecordingSink>::CreateInstance(&sink));
    return com_ptr<CComObject<CRecordingSink>>(sink);
}

// The status of the CComError `action` raises, or S_OK when it raises none.
template <typename Action>
HRESULT RaisedStatus(Action&& action, IID* iid = nullptr)
{
    try
    {
        action();
        return S_OK;
    }
    catch (const CComError& error)
    {
        if (iid)
            *iid = error.Interface();
        return error.Status();
    }
}

std::string IidText(const IID& iid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(iid, text, 40);
    return test::Utf8(text, wcslen(text));
}

class EngineLinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        standIn.emplace();
    }
    void TearDown() override
    {
        // Everything the test made is gone: engines and option objects of the
        // stand-in, its connections, and the sinks (objects of this module).
        EXPECT_EQ(0, standIn->LiveEngines());
        EXPECT_EQ(0, standIn->LiveOptions());
        EXPECT_EQ(0, standIn->ConnectionCount());
        EXPECT_EQ(0, CModule::Instance().LockCount());
        standIn.reset();
        ::CoUninitialize();
    }

    test::EngineStandIn& StandIn() { return *standIn; }

    std::optional<test::EngineStandIn> standIn;
};

const HWND kOwner = reinterpret_cast<HWND>(0x1234);  // reaches the engine as 4660

TEST_F(EngineLinkTest, CreationIsTriedOnceMoreThenRaised)
{
    const struct
    {
        long failures;
        HRESULT status;
        HRESULT raised;
        size_t attempts;
    } cases[] = {
        {0, S_OK, S_OK, 1},
        {1, E_OUTOFMEMORY, S_OK, 2},
        {2, CO_E_SERVER_EXEC_FAILURE, CO_E_SERVER_EXEC_FAILURE, 2},
        {3, REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG, 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE("failures " + std::to_string(c.failures));
        test::EngineStandIn engine;
        if (c.failures)
            engine.FailNext("CreateInstance", c.status, c.failures);
        IID iid = IID_NULL;
        com_ptr<IDownloadEngine> created;
        const HRESULT raised = RaisedStatus([&] { created = CreateEngine(); }, &iid);
        EXPECT_EQ(c.raised, raised) << std::hex << raised;
        EXPECT_EQ(c.attempts, engine.CallsNamed("CreateInstance").size()) << engine.CallLog();
        if (c.raised == S_OK)
        {
            EXPECT_TRUE(created);
        }
        else
        {
            EXPECT_EQ(IidText(IID_IDownloadEngine), IidText(iid));
        }
    }
}

// Every engine operation of the link, with the argument texts the engine must
// receive for it.
struct Operation
{
    const char* name;
    std::function<void(const CEngine&)> call;
    std::vector<std::string> arguments;
};

const std::vector<Operation>& Operations()
{
    static const std::vector<Operation> operations = {
        {"AddUrl", [](const CEngine& e) { e.AddUrl("http://host/a.zip", "C:\\dl\\", kOwner, true, "k=v"); },
         {"http://host/a.zip", "C:\\dl\\", "4660", "1", "-1", "k=v"}},
        {"AddUrl", [](const CEngine& e) { e.AddUrl("ftp://host/b.bin", "", nullptr, false, ""); },
         {"ftp://host/b.bin", "", "0", "0", "-1", ""}},
        {"StartDownload", [](const CEngine& e) { e.StartDownload(12, kOwner, "a=1; b=2"); },
         {"12", "4660", "a=1; b=2"}},
        {"PauseDownload", [](const CEngine& e) { e.PauseDownload(12, kOwner); }, {"12", "4660"}},
        {"DeleteDownload", [](const CEngine& e) { e.DeleteDownload(-7); }, {"-7"}},
        {"GetDownloadLog", [](const CEngine& e) { e.GetDownloadLog(12); }, {"12"}},
        {"GetOptions", [](const CEngine& e) { e.GetOptions(-1); }, {"-1"}},
        {"SetOptions", [](const CEngine& e) { e.SetOptions(12, kOwner, e.GetOptions(12)); },
         {"12", "4660", "options#1"}},
        {"GetLogSettings", [](const CEngine& e) { e.GetLogSettings(); }, {}},
        {"SetLogSettings", [](const CEngine& e) { e.SetLogSettings({true, -1, false}); }, {"-1", "-1", "0"}},
        {"SetLogSettings", [](const CEngine& e) { e.SetLogSettings({false, 14, true}); }, {"0", "14", "-1"}},
        {"GetLanguage", [](const CEngine& e) { e.GetLanguage(); }, {}},
        {"SetLanguage", [](const CEngine& e) { e.SetLanguage(0x0419); }, {"1049"}},
        {"GetKeepDescriptionFile", [](const CEngine& e) { e.GetKeepDescriptionFile(); }, {}},
        {"SetKeepDescriptionFile", [](const CEngine& e) { e.SetKeepDescriptionFile(true); }, {"-1"}},
        {"GetTrafficMode", [](const CEngine& e) { e.GetTrafficMode(); }, {}},
        {"SetTrafficMode", [](const CEngine& e) { e.SetTrafficMode(3); }, {"3"}},
        {"AddDownload", [](const CEngine& e) { e.AddDownload(e.GetOptions(-1), kOwner, true, ""); },
         {"options#1", "4660", "1", "-1", ""}},
        {"GetDownloadList", [](const CEngine& e) { unique_variant list; e.GetDownloadList(list); }, {}},
    };
    return operations;
}

TEST_F(EngineLinkTest, EachCallReachesTheEngineWithItsArgumentsInOrder)
{
    for (const Operation& operation : Operations())
    {
        SCOPED_TRACE(operation.name);
        test::EngineStandIn engine;
        {
            const CEngine link = CEngine::Create();
            EXPECT_EQ(S_OK, RaisedStatus([&] { operation.call(link); }));
        }
        EXPECT_TRUE(engine.Expect(operation.name, operation.arguments));
        EXPECT_TRUE(engine.ExpectNo(operation.name));
    }
}

TEST_F(EngineLinkTest, AFailingCallIsRaisedWithItsStatusAndNotRepeated)
{
    HRESULT status = 0x80041000;
    for (const Operation& operation : Operations())
    {
        SCOPED_TRACE(operation.name);
        test::EngineStandIn engine;
        ++status;  // a status of its own per operation
        engine.FailNext(operation.name, status, 1, "");
        IID iid = IID_NULL;
        {
            const CEngine link = CEngine::Create();
            const HRESULT raised = RaisedStatus([&] { operation.call(link); }, &iid);
            EXPECT_EQ(status, raised) << std::hex << raised;
        }
        EXPECT_EQ(IidText(IID_IDownloadEngine), IidText(iid));
        EXPECT_EQ(1u, engine.CallsNamed(operation.name).size()) << engine.CallLog();
    }
}

TEST_F(EngineLinkTest, TheRaisedErrorCarriesTheEnginesDescriptionAndNoStaleOne)
{
    StandIn().FailNext("DeleteDownload", E_INVALIDARG, 1, "No download 7");
    StandIn().FailNext("PauseDownload", E_ACCESSDENIED, 1, "");
    const CEngine link = CEngine::Create();
    try
    {
        link.DeleteDownload(7);
        ADD_FAILURE() << "not raised";
    }
    catch (const CComError& error)
    {
        ASSERT_NE(nullptr, error.ErrorInfo());
        unique_bstr description;
        error.ErrorInfo()->GetDescription(description.put());
        EXPECT_EQ("No download 7", test::Utf8(description.get()));
    }
    try
    {
        link.PauseDownload(7, kOwner);
        ADD_FAILURE() << "not raised";
    }
    catch (const CComError& error)
    {
        EXPECT_EQ(E_ACCESSDENIED, error.Status()) << std::hex << error.Status();
        EXPECT_EQ(nullptr, error.ErrorInfo());
    }
}

TEST_F(EngineLinkTest, ReadsWhatTheEngineHolds)
{
    ITestEngineControl* control = StandIn().get();
    control->put_Language(0x0419);
    control->put_TrafficMode(3);
    control->put_KeepDescriptionFile(VARIANT_TRUE);
    // Values that differ from each other, so that swapped outputs show.
    control->put_KeepCommonLog(VARIANT_FALSE);
    control->put_LogDaysToKeep(-1);
    control->put_LogPerDownload(VARIANT_TRUE);
    unique_bstr log(::SysAllocString(L"01.02.2026\t10:00:00\tConnecting\r\n"));
    control->SetDownloadLog(5, log.get());

    const CEngine link = CEngine::Create();
    EXPECT_EQ(0x0419, link.GetLanguage());
    EXPECT_EQ(3, link.GetTrafficMode());
    EXPECT_TRUE(link.GetKeepDescriptionFile());
    const EngineLogSettings settings = link.GetLogSettings();
    EXPECT_FALSE(settings.keepCommonLog);
    EXPECT_EQ(-1, settings.daysToKeep);
    EXPECT_TRUE(settings.logPerDownload);
    EXPECT_EQ("01.02.2026\t10:00:00\tConnecting\r\n", test::Utf8(link.GetDownloadLog(5).get()));
    EXPECT_EQ("", test::Utf8(link.GetDownloadLog(6).get()));
}

TEST_F(EngineLinkTest, TheDownloadListIsAnArrayOfRowsAndColumns)
{
    long row = -1;
    unique_bstr url1(::SysAllocString(L"http://host/one.zip")), url2(::SysAllocString(L"ftp://host/two.bin"));
    unique_bstr folder(::SysAllocString(L"C:\\dl\\")), name(::SysAllocString(L"one.zip")), none(::SysAllocString(L""));
    ASSERT_EQ(S_OK, StandIn()->AddListRow(1, url1.get(), folder.get(), name.get(), 4, &row));
    ASSERT_EQ(S_OK, StandIn()->AddListRow(2, url2.get(), folder.get(), none.get(), 2, &row));
    ASSERT_EQ(S_OK, StandIn()->AddListSection(row, 0, 1000, 250));
    ASSERT_EQ(S_OK, StandIn()->AddListSection(row, 1000, 500, 500));

    const CEngine link = CEngine::Create();
    unique_variant list;
    link.GetDownloadList(list);
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, V_VT(list.get()));
    SAFEARRAY* rows = V_ARRAY(list.get());
    ASSERT_EQ(2u, ::SafeArrayGetDim(rows));
    LONG upper = 0;
    ::SafeArrayGetUBound(rows, 1, &upper);
    EXPECT_EQ(1, upper);  // two downloads
    ::SafeArrayGetUBound(rows, 2, &upper);
    EXPECT_EQ(14, upper);  // fifteen columns

    const auto cell = [&](LONG r, LONG c) {
        unique_variant value;
        LONG index[2] = {r, c};
        EXPECT_EQ(S_OK, ::SafeArrayGetElement(rows, index, value.get()));
        return test::VariantText(*value.get());
    };
    EXPECT_EQ("2", cell(1, 0));
    EXPECT_EQ("ftp://host/two.bin", cell(1, 1));
    EXPECT_EQ("", cell(1, 3));
    EXPECT_EQ("4", cell(0, 4));

    unique_variant sections;
    LONG index[2] = {1, 14};
    ASSERT_EQ(S_OK, ::SafeArrayGetElement(rows, index, sections.get()));
    ASSERT_EQ(VT_ARRAY | VT_UI4, V_VT(sections.get()));
    ULONG length = 0, loaded = 0;
    LONG second[2][2] = {{1, 1}, {1, 3}};
    ::SafeArrayGetElement(V_ARRAY(sections.get()), second[0], &length);
    ::SafeArrayGetElement(V_ARRAY(sections.get()), second[1], &loaded);
    EXPECT_EQ(500u, length);
    EXPECT_EQ(500u, loaded);
}

TEST_F(EngineLinkTest, OptionsWrittenThroughTheWrapperReachTheEngine)
{
    const CEngine link = CEngine::Create();
    {
        const CDownloadOptions options = link.GetOptions(-1);
        EXPECT_EQ(120, options.IntegerOption1());
        EXPECT_EQ(2, options.IntegerOption2());
        options.SetUrl("http://host/file.zip");
        options.SetLocalPath("C:\\dl\\file.zip");
        options.SetUserName("user");
        options.SetPassword("secret");
        options.SetUseProxy(true);
        options.SetUseIEProxySettings(false);
        options.SetProxyUserName("puser");
        options.SetProxyPassword("psecret");
        options.SetProxyServers("http=proxy:8080");
        options.SetProxyBypass("<local>");
        options.SetMaxRedirections(7);
        options.SetFtpPassive(false);
        options.SetIntegerOption2(2);
        options.SetIntegerOption1(90);
        link.SetOptions(-1, kOwner, options);
        EXPECT_TRUE(options.UseProxy());
        EXPECT_FALSE(options.UseIEProxySettings());
        EXPECT_EQ("C:\\dl\\file.zip", options.LocalPath());
    }
    ASSERT_TRUE(StandIn().Expect("put_UserName", {"user"}));
    ASSERT_TRUE(StandIn().Expect("put_UseProxy", {"-1"}));
    ASSERT_TRUE(StandIn().Expect("put_FtpPassive", {"0"}));

    const std::vector<test::EngineCall> calls = StandIn().Calls();
    size_t setOptions = 0;
    while (setOptions < calls.size() && calls[setOptions].name != "SetOptions")
        ++setOptions;
    ASSERT_LT(setOptions, calls.size()) << StandIn().CallLog();
    const struct
    {
        const char* property;
        const char* value;
    } expected[] = {
        {"Url", "http://host/file.zip"}, {"LocalPath", "C:\\dl\\file.zip"}, {"UserName", "user"},
        {"Password", "secret"},          {"UseProxy", "-1"},                 {"UseIEProxySettings", "0"},
        {"ProxyUserName", "puser"},      {"ProxyPassword", "psecret"},       {"ProxyServers", "http=proxy:8080"},
        {"ProxyBypass", "<local>"},      {"MaxRedirections", "7"},           {"FtpPassive", "0"},
        {"IntegerOption1", "90"},        {"IntegerOption2", "2"},
    };
    for (const auto& e : expected)
        EXPECT_EQ(e.value, StandIn().CallOption(setOptions, e.property)) << e.property;
}

TEST_F(EngineLinkTest, TheTypeLibraryHasTheFixedLayout)
{
    // Registered by the stand-in, as the engine registers it.
    com_ptr<ITypeLib> library;
    ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_TolDownloadEngineLib, 1, 0, LOCALE_NEUTRAL, library.put()));
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
    EXPECT_EQ(IidText(LIBID_TolDownloadEngineLib), IidText(attributes->guid));
    library->ReleaseTLibAttr(attributes);

    // name -> vtable slot (counting IUnknown's and IDispatch's), or dispid ->
    // argument count for the events.
    const auto slots = [&](REFIID iid) {
        std::vector<std::pair<std::string, int>> found;
        com_ptr<ITypeInfo> info;
        EXPECT_EQ(S_OK, library->GetTypeInfoOfGuid(iid, info.put()));
        if (!info)
            return found;
        // A dual interface: its vtable part.
        HREFTYPE vtable = 0;
        com_ptr<ITypeInfo> dual;
        if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &vtable)) &&
            SUCCEEDED(info->GetRefTypeInfo(vtable, dual.put())))
            info = dual;
        TYPEATTR* type = nullptr;
        info->GetTypeAttr(&type);
        for (UINT i = 0; i < type->cFuncs; ++i)
        {
            FUNCDESC* function = nullptr;
            info->GetFuncDesc(i, &function);
            unique_bstr name;
            info->GetDocumentation(function->memid, name.put(), nullptr, nullptr, nullptr);
            const char* kind = function->invkind == INVOKE_PROPERTYPUT ? "put_"
                               : function->invkind == INVOKE_PROPERTYGET ? "get_" : "";
            found.emplace_back(kind + test::Utf8(name.get()),
                               type->typekind == TKIND_DISPATCH ? function->memid * 100 + function->cParams
                                                                : function->oVft / static_cast<int>(sizeof(void*)));
            info->ReleaseFuncDesc(function);
        }
        info->ReleaseTypeAttr(type);
        return found;
    };
    const auto slotOf = [](const std::vector<std::pair<std::string, int>>& found, const std::string& name) {
        for (const auto& entry : found)
            if (entry.first == name)
                return entry.second;
        return -1;
    };

    const auto options = slots(IID_IDownloadOptions);
    EXPECT_EQ(9, slotOf(options, "get_IntegerOption1"));
    EXPECT_EQ(10, slotOf(options, "put_IntegerOption1"));
    EXPECT_EQ(27, slotOf(options, "get_IntegerOption2"));
    EXPECT_EQ(28, slotOf(options, "put_IntegerOption2"));

    const char* engineOrder[] = {"AddUrl",         "StartDownload",   "PauseDownload",   "DeleteDownload",
                                 "GetDownloadLog", "GetOptions",      "SetOptions",      "GetLogSettings",
                                 "SetLogSettings", "GetLanguage",     "SetLanguage",     "GetKeepDescriptionFile",
                                 "SetKeepDescriptionFile", "GetTrafficMode", "SetTrafficMode", "AddDownload",
                                 "GetDownloadList"};
    const auto engine = slots(IID_IDownloadEngine);
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(7 + i, slotOf(engine, engineOrder[i])) << engineOrder[i];

    // dispid * 100 + argument count.
    const struct
    {
        const char* name;
        int code;
    } events[] = {
        {"DownloadAdded", 106},         {"DownloadStateChanged", 203}, {"DownloadStopped", 306},
        {"DownloadDeleted", 401},       {"DownloadFileInfo", 514},     {"ResumeSupportChanged", 602},
        {"DownloadProgress", 708},      {"DownloadCompleted", 806},    {"DownloadError", 907},
        {"DownloadInfoChanged", 1202},  {"DownloadRestarted", 1306},   {"CredentialsRequired", 1412},
        {"LogOptionChanged", 1503},     {"LanguageChanged", 1601},     {"SectionsChanged", 1702},
        {"SectionProgress", 1807},      {"SectionFinished", 1904},     {"PriorityChanged", 2002},
        {"TrafficModeChanged", 2101},   {"DownloadRenamed", 2203},     {"InterfaceChanged", 2301},
    };
    const auto dispatched = slots(DIID__IDownloadEngineEvents);
    for (const auto& event : events)
        EXPECT_EQ(event.code, slotOf(dispatched, event.name)) << event.name;
}

TEST_F(EngineLinkTest, AConnectedSinkReceivesEventsWithArgumentsInDeclarationOrder)
{
    auto sink = NewSink();
    {
        const CEngine link = CEngine::Create();
        CEngineEventConnection connection;
        connection.Connect(link.get(), static_cast<_IDownloadEngineEvents*>(sink.get()));
        EXPECT_TRUE(connection.Connected());

        EXPECT_EQ(1, StandIn().Fire("DownloadAdded", {7, "http://host/a.zip", "C:\\dl\\", "a.zip", 2, 3}));
        // The claimed flag is the last argument, by reference; this sink takes
        // the event on and the engine sees it.
        sink->claim = true;
        EXPECT_EQ(1, StandIn().Fire("DownloadCompleted", {7, 4, 0.5, 4660, 0, false}));
        EXPECT_EQ("-1", StandIn().FiredArgument(5));
    }
    ASSERT_EQ(2u, sink->received.size());
    EXPECT_EQ(1, sink->received[0].dispid);
    EXPECT_EQ((std::vector<std::string>{"7", "http://host/a.zip", "C:\\dl\\", "a.zip", "2", "3"}),
              sink->received[0].arguments);
    EXPECT_EQ(8, sink->received[1].dispid);
    EXPECT_EQ((std::vector<std::string>{"7", "4", "0.5", "4660", "0", "0"}), sink->received[1].arguments);
    EXPECT_EQ((std::vector<VARTYPE>{VT_I4, VT_I4, VT_R8, VT_I4, VT_I4, VT_BOOL | VT_BYREF}), sink->received[1].types);
}

TEST_F(EngineLinkTest, TheFirstSinkToClaimAnEventKeepsTheOthersFromIt)
{
    auto first = NewSink();
    auto second = NewSink();
    first->claim = true;
    second->claim = true;
    {
        // Two bars: an engine object and a connection each.
        const CEngine one = CEngine::Create();
        const CEngine two = CEngine::Create();
        CEngineEventConnection firstConnection, secondConnection;
        firstConnection.Connect(one.get(), static_cast<_IDownloadEngineEvents*>(first.get()));
        secondConnection.Connect(two.get(), static_cast<_IDownloadEngineEvents*>(second.get()));
        EXPECT_EQ(2, StandIn().Fire("DownloadStopped", {3, 0x14, 0.25, 0, 1, false}));
    }
    ASSERT_EQ(1u, first->received.size());
    ASSERT_EQ(1u, second->received.size());
    EXPECT_EQ("0", first->received[0].arguments[5]);
    EXPECT_EQ("-1", second->received[0].arguments[5]);  // already claimed when it arrived
}

TEST_F(EngineLinkTest, ASinkOfAnotherThreadGetsTheEventOnItsOwnThread)
{
    // A second browser thread with its own engine and sink; the event is fired
    // from this thread and must reach the sink on its thread, claimed flag and all.
    unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DWORD sinkThread = 0;
    DWORD calledOn = 0;
    HRESULT threadResult = E_FAIL;
    std::thread browserThread([&] {
        sinkThread = ::GetCurrentThreadId();
        threadResult = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(threadResult))
        {
            threadResult = RaisedStatus([&] {
                auto sink = NewSink();
                sink->claim = true;
                sink->onEvent = [&] { calledOn = ::GetCurrentThreadId(); };
                const CEngine link = CEngine::Create();
                CEngineEventConnection connection;
                connection.Connect(link.get(), static_cast<_IDownloadEngineEvents*>(sink.get()));
                ::SetEvent(ready.get());
                MSG message;
                while (::GetMessageW(&message, nullptr, 0, 0) > 0)
                    ::DispatchMessageW(&message);
            });
            ::CoUninitialize();
        }
        ::SetEvent(ready.get());
    });
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), 10000));
    EXPECT_EQ(1, StandIn().Fire("DownloadCompleted", {9, 4, 1.5, 0, 2, false}));
    EXPECT_EQ("-1", StandIn().FiredArgument(5));
    ::PostThreadMessageW(sinkThread, WM_QUIT, 0, 0);
    browserThread.join();
    EXPECT_EQ(S_OK, threadResult) << std::hex << threadResult;
    EXPECT_EQ(sinkThread, calledOn);
}

TEST_F(EngineLinkTest, DisconnectingStopsDelivery)
{
    auto sink = NewSink();
    const CEngine link = CEngine::Create();
    {
        CEngineEventConnection connection;
        connection.Connect(link.get(), static_cast<_IDownloadEngineEvents*>(sink.get()));
        EXPECT_EQ(1, StandIn().Fire("DownloadDeleted", {1}));
        EXPECT_EQ(S_OK, connection.Disconnect());
        EXPECT_FALSE(connection.Connected());
        EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {2}));
        EXPECT_EQ(S_OK, connection.Disconnect());  // nothing left to end
    }
    {
        // Ending the connection from inside an event handler, as a bar hidden by
        // its own event handling does.
        CEngineEventConnection connection;
        connection.Connect(link.get(), static_cast<_IDownloadEngineEvents*>(sink.get()));
        sink->onEvent = [&] { EXPECT_EQ(S_OK, connection.Disconnect()); };
        EXPECT_EQ(1, StandIn().Fire("DownloadDeleted", {3}));
        EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {4}));
        sink->onEvent = nullptr;
    }
    {
        // The connection's owner going away disconnects.
        CEngineEventConnection connection;
        connection.Connect(link.get(), static_cast<_IDownloadEngineEvents*>(sink.get()));
    }
    EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {5}));
    ASSERT_EQ(2u, sink->received.size());
    EXPECT_EQ("1", sink->received[0].arguments[0]);
    EXPECT_EQ("3", sink->received[1].arguments[0]);
    EXPECT_EQ(3u, StandIn().CallsNamed("Unadvise").size()) << StandIn().CallLog();
}

TEST_F(EngineLinkTest, ConnectingIsTriedOnceMoreThenRaised)
{
    const struct
    {
        long failures;
        bool eventSink;  // the sink answers the event interface
        HRESULT raised;
        size_t attempts;
    } cases[] = {
        {0, true, S_OK, 1},
        {1, true, S_OK, 2},
        {2, true, CONNECT_E_ADVISELIMIT, 2},
        {0, false, CONNECT_E_CANNOTCONNECT, 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE("failures " + std::to_string(c.failures) + (c.eventSink ? "" : ", not an event sink"));
        test::EngineStandIn engine;
        if (c.failures)
            engine.FailNext("Advise", CONNECT_E_ADVISELIMIT, c.failures);
        auto sink = NewSink();
        // An object that is no event sink: the engine's own control interface.
        const CEngine link = CEngine::Create();
        com_ptr<IUnknown> other;
        link.get()->QueryInterface(__uuidof(ITestEngineControl), other.put_void());
        IUnknown* offered = c.eventSink ? static_cast<IUnknown*>(static_cast<_IDownloadEngineEvents*>(sink.get()))
                                        : other.get();
        CEngineEventConnection connection;
        IID iid = IID_NULL;
        const HRESULT raised = RaisedStatus([&] { connection.Connect(link.get(), offered); }, &iid);
        EXPECT_EQ(c.raised, raised) << std::hex << raised;
        EXPECT_EQ(c.raised == S_OK, connection.Connected());
        EXPECT_EQ(c.attempts, engine.CallsNamed("Advise").size()) << engine.CallLog();
        if (c.raised != S_OK)
        {
            EXPECT_EQ(IidText(IID_IConnectionPoint), IidText(iid));
        }
    }
}

}  // namespace
