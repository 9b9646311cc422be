// The engine link against the engine stand-in of the test prefix: creation and
// connection tried once more, failing calls raised with their status, arguments
// reaching the engine in the right order, events reaching a connected sink.
#include <windows.h>
#include <gtest/gtest.h>
#include <olectl.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_link.h"
#include "framework/error.h"
#include "framework/module.h"
#include "framework/object.h"
#include "framework/unique_any.h"
#include "support/engine_standin.h"
#include "support/sta_thread.h"

using namespace tdm;

namespace {

// An event sink that records what it receives; with `claim` it takes on an
// event nobody has claimed (the claimed flag is the last argument, by reference).
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
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return (*count = 0), S_OK; }
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
            const bool flag = V_VT(&argument) == (VT_BOOL | VT_BYREF);
            event.arguments.push_back(flag ? std::to_string(*V_BOOLREF(&argument)) : test::VariantText(argument));
            if (flag && claim && *V_BOOLREF(&argument) == VARIANT_FALSE)
                *V_BOOLREF(&argument) = VARIANT_TRUE;
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

void Connect(CEngineEventConnection& connection, const CEngine& engine, CComObject<CRecordingSink>* sink)
{
    connection.Connect(engine.get(), static_cast<_IDownloadEngineEvents*>(sink));
}

// The CComError `action` raises (status S_OK when it raises none).
template <typename Action>
CComError Raised(Action&& action)
{
    try
    {
        action();
        return CComError(S_OK, IID_NULL);
    }
    catch (const CComError& error)
    {
        return error;
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

// Each operation reaches the engine once with its arguments in order; made to
// fail, it is raised with the engine's status and interface, not repeated, and
// carries the engine's description, or none (no stale one) when the engine gave
// none.
TEST_F(EngineLinkTest, EachCallReachesTheEngineAndItsFailureIsRaised)
{
    HRESULT status = 0x80041000;
    bool described = false;
    for (const Operation& operation : Operations())
    {
        SCOPED_TRACE(operation.name);
        test::EngineStandIn engine;
        const CEngine link = CEngine::Create();
        EXPECT_EQ(S_OK, Raised([&] { operation.call(link); }).Status());
        EXPECT_TRUE(engine.Expect(operation.name, operation.arguments));
        EXPECT_TRUE(engine.ExpectNo(operation.name));

        ++status;  // a status of its own per operation
        described = !described;
        const std::string description = described ? std::string("fails: ") + operation.name : "";
        engine.FailNext(operation.name, status, 1, description);
        const CComError raised = Raised([&] { operation.call(link); });
        EXPECT_EQ(status, raised.Status()) << std::hex << raised.Status();
        EXPECT_EQ(IidText(IID_IDownloadEngine), IidText(raised.Interface()));
        EXPECT_EQ(2u, engine.CallsNamed(operation.name).size()) << engine.CallLog();
        unique_bstr text;
        if (raised.ErrorInfo())
            raised.ErrorInfo()->GetDescription(text.put());
        EXPECT_EQ(described ? description : "<none>", raised.ErrorInfo() ? test::Utf8(text.get()) : "<none>");
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
    unique_bstr url1(::SysAllocString(L"http://host/one.zip")), url2(::SysAllocString(L"ftp://host/two.bin"));
    unique_bstr folder(::SysAllocString(L"C:\\dl\\")), name(::SysAllocString(L"one.zip"));
    long row = -1;
    ASSERT_EQ(S_OK, control->AddListRow(1, url1.get(), folder.get(), name.get(), 4, &row));
    ASSERT_EQ(S_OK, control->AddListRow(2, url2.get(), folder.get(), name.get(), 2, &row));

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

    // The download list as the engine gives it: a row per download.
    unique_variant list;
    link.GetDownloadList(list);
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, V_VT(list.get()));
    LONG rows = 0;
    ::SafeArrayGetUBound(V_ARRAY(list.get()), 1, &rows);
    EXPECT_EQ(1, rows);
}

TEST_F(EngineLinkTest, OptionsWrittenThroughTheWrapperReachTheEngine)
{
    using Options = const CDownloadOptions&;
    const struct { const char* property; void (*set)(Options); const char* value; } writes[] = {
        {"Url", [](Options o) { o.SetUrl("http://host/file.zip"); }, "http://host/file.zip"},
        {"LocalPath", [](Options o) { o.SetLocalPath("C:\\dl\\file.zip"); }, "C:\\dl\\file.zip"},
        {"UserName", [](Options o) { o.SetUserName("user"); }, "user"},
        {"Password", [](Options o) { o.SetPassword("secret"); }, "secret"},
        {"UseProxy", [](Options o) { o.SetUseProxy(true); }, "-1"},
        {"UseIEProxySettings", [](Options o) { o.SetUseIEProxySettings(false); }, "0"},
        {"ProxyUserName", [](Options o) { o.SetProxyUserName("puser"); }, "puser"},
        {"ProxyPassword", [](Options o) { o.SetProxyPassword("psecret"); }, "psecret"},
        {"ProxyServers", [](Options o) { o.SetProxyServers("http=proxy:8080"); }, "http=proxy:8080"},
        {"ProxyBypass", [](Options o) { o.SetProxyBypass("<local>"); }, "<local>"},
        {"MaxRedirections", [](Options o) { o.SetMaxRedirections(7); }, "7"},
        {"FtpPassive", [](Options o) { o.SetFtpPassive(false); }, "0"},
        {"IntegerOption2", [](Options o) { o.SetIntegerOption2(5); }, "5"},
        {"IntegerOption1", [](Options o) { o.SetIntegerOption1(90); }, "90"},
    };
    const CEngine link = CEngine::Create();
    {
        const CDownloadOptions options = link.GetOptions(-1);
        EXPECT_EQ(120, options.IntegerOption1());
        EXPECT_EQ(2, options.IntegerOption2());
        for (const auto& write : writes)
            write.set(options);
        link.SetOptions(-1, kOwner, options);
        EXPECT_TRUE(options.UseProxy());
        EXPECT_FALSE(options.UseIEProxySettings());
        EXPECT_EQ("C:\\dl\\file.zip", options.LocalPath());
    }
    const std::vector<test::EngineCall> calls = StandIn().Calls();
    size_t setOptions = 0;
    while (setOptions < calls.size() && calls[setOptions].name != "SetOptions")
        ++setOptions;
    ASSERT_LT(setOptions, calls.size()) << StandIn().CallLog();
    for (const auto& write : writes)
        EXPECT_EQ(write.value, StandIn().CallOption(setOptions, write.property)) << write.property;
}

TEST_F(EngineLinkTest, TheTypeLibraryHasTheFixedLayout)
{
    // Registered by the stand-in, as the engine registers it.
    com_ptr<ITypeLib> library;
    ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_TolDownloadEngineLib, 1, 0, LOCALE_NEUTRAL, library.put()));

    // name -> vtable slot (counting IUnknown's and IDispatch's), or for the
    // events dispid * 100 + argument count.
    const auto slots = [&](REFIID iid) {
        std::map<std::string, int> found;
        com_ptr<ITypeInfo> info, dual;
        EXPECT_EQ(S_OK, library->GetTypeInfoOfGuid(iid, info.put()));
        HREFTYPE vtable = 0;  // a dual interface: its vtable part
        if (info && SUCCEEDED(info->GetRefTypeOfImplType(-1, &vtable)) &&
            SUCCEEDED(info->GetRefTypeInfo(vtable, dual.put())))
            info = dual;
        TYPEATTR* type = nullptr;
        if (!info || FAILED(info->GetTypeAttr(&type)))
            return found;
        for (UINT i = 0; i < type->cFuncs; ++i)
        {
            FUNCDESC* function = nullptr;
            info->GetFuncDesc(i, &function);
            unique_bstr name;
            info->GetDocumentation(function->memid, name.put(), nullptr, nullptr, nullptr);
            const char* kind = function->invkind == INVOKE_PROPERTYPUT ? "put_"
                               : function->invkind == INVOKE_PROPERTYGET ? "get_" : "";
            found[kind + test::Utf8(name.get())] = type->typekind == TKIND_DISPATCH
                                                       ? function->memid * 100 + function->cParams
                                                       : function->oVft / static_cast<int>(sizeof(void*));
            info->ReleaseFuncDesc(function);
        }
        info->ReleaseTypeAttr(type);
        return found;
    };

    auto options = slots(IID_IDownloadOptions);
    for (const auto& [name, slot] : {std::pair<const char*, int>{"get_IntegerOption1", 9}, {"put_IntegerOption1", 10},
                                     {"get_IntegerOption2", 27}, {"put_IntegerOption2", 28}})
        EXPECT_EQ(slot, options[name]) << name;
    const char* engineOrder[] = {"AddUrl",         "StartDownload",   "PauseDownload",   "DeleteDownload",
                                 "GetDownloadLog", "GetOptions",      "SetOptions",      "GetLogSettings",
                                 "SetLogSettings", "GetLanguage",     "SetLanguage",     "GetKeepDescriptionFile",
                                 "SetKeepDescriptionFile", "GetTrafficMode", "SetTrafficMode", "AddDownload",
                                 "GetDownloadList"};
    auto engine = slots(IID_IDownloadEngine);
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(7 + i, engine[engineOrder[i]]) << engineOrder[i];

    const std::pair<const char*, int> events[] = {
        {"DownloadAdded", 106},         {"DownloadStateChanged", 203}, {"DownloadStopped", 306},
        {"DownloadDeleted", 401},       {"DownloadFileInfo", 514},     {"ResumeSupportChanged", 602},
        {"DownloadProgress", 708},      {"DownloadCompleted", 806},    {"DownloadError", 907},
        {"DownloadInfoChanged", 1202},  {"DownloadRestarted", 1306},   {"CredentialsRequired", 1412},
        {"LogOptionChanged", 1503},     {"LanguageChanged", 1601},     {"SectionsChanged", 1702},
        {"SectionProgress", 1807},      {"SectionFinished", 1904},     {"PriorityChanged", 2002},
        {"TrafficModeChanged", 2101},   {"DownloadRenamed", 2203},     {"InterfaceChanged", 2301},
    };
    auto dispatched = slots(DIID__IDownloadEngineEvents);
    for (const auto& [name, code] : events)
        EXPECT_EQ(code, dispatched[name]) << name;
}

// Two browser windows, an engine object, a connection and a sink each, the
// first on a thread of its own: events reach each sink on its thread with the
// arguments in declaration order; the first sink claims the event (through the
// thread boundary), the second sees it claimed, and so does the engine.
TEST_F(EngineLinkTest, ConnectedSinksGetEventsOnTheirThreadsAndTheFirstClaimKeepsTheOthersFromIt)
{
    test::StaThread firstThread;
    com_ptr<CComObject<CRecordingSink>> first;
    std::vector<CRecordingSink::Received> firstReceived;
    DWORD firstCalledOn = 0;
    CEngine one;
    CEngineEventConnection firstConnection, secondConnection;
    ASSERT_TRUE(firstThread.Run([&] {
        first = NewSink();
        first->claim = true;
        first->onEvent = [&] { firstCalledOn = ::GetCurrentThreadId(); };
        const HRESULT hr = Raised([&] { Connect(firstConnection, one = CEngine::Create(), first.get()); }).Status();
        EXPECT_EQ(S_OK, hr) << std::hex << hr;
    }));
    auto second = NewSink();
    second->claim = true;
    const CEngine two = CEngine::Create();
    Connect(secondConnection, two, second.get());
    EXPECT_TRUE(secondConnection.Connected());
    EXPECT_EQ(2, StandIn().Fire("DownloadAdded", {7, "http://host/a.zip", "C:\\dl\\", "a.zip", 2, 3}));
    EXPECT_EQ(2, StandIn().Fire("DownloadCompleted", {7, 4, 0.5, 4660, 0, false}));
    EXPECT_EQ("-1", StandIn().FiredArgument(5));
    secondConnection.Disconnect();
    ASSERT_TRUE(firstThread.Run([&] {
        firstConnection.Disconnect();
        one.reset();
        firstReceived = first->received;
        first = nullptr;
    }));
    EXPECT_EQ(firstThread.Id(), firstCalledOn);
    ASSERT_EQ(2u, firstReceived.size());
    ASSERT_EQ(2u, second->received.size());
    EXPECT_EQ(1, second->received[0].dispid);
    EXPECT_EQ((std::vector<std::string>{"7", "http://host/a.zip", "C:\\dl\\", "a.zip", "2", "3"}),
              second->received[0].arguments);
    EXPECT_EQ(8, firstReceived[1].dispid);
    EXPECT_EQ((std::vector<std::string>{"7", "4", "0.5", "4660", "0", "0"}), firstReceived[1].arguments);
    EXPECT_EQ((std::vector<VARTYPE>{VT_I4, VT_I4, VT_R8, VT_I4, VT_I4, VT_BOOL | VT_BYREF}), firstReceived[1].types);
    EXPECT_EQ("-1", second->received[1].arguments[5]) << "already claimed when it arrived";
}

TEST_F(EngineLinkTest, DisconnectingStopsDelivery)
{
    auto sink = NewSink();
    const CEngine link = CEngine::Create();
    {
        CEngineEventConnection connection;
        Connect(connection, link, sink.get());
        EXPECT_EQ(1, StandIn().Fire("DownloadDeleted", {1}));
        EXPECT_EQ(S_OK, connection.Disconnect());
        EXPECT_FALSE(connection.Connected());
        EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {2}));
        EXPECT_EQ(S_OK, connection.Disconnect());  // nothing left to end
        // Ended from inside an event handler, as a bar hidden by its own event
        // handling does.
        Connect(connection, link, sink.get());
        sink->onEvent = [&] { EXPECT_EQ(S_OK, connection.Disconnect()); };
        EXPECT_EQ(1, StandIn().Fire("DownloadDeleted", {3}));
        EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {4}));
        sink->onEvent = nullptr;
        // The connection's owner going away disconnects.
        Connect(connection, link, sink.get());
    }
    EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {5}));
    ASSERT_EQ(2u, sink->received.size());
    EXPECT_EQ("1", sink->received[0].arguments[0]);
    EXPECT_EQ("3", sink->received[1].arguments[0]);
    EXPECT_EQ(3u, StandIn().CallsNamed("Unadvise").size()) << StandIn().CallLog();
}

// Creating the engine and connecting a sink are tried once more, then raised
// with the interface that failed.
TEST_F(EngineLinkTest, CreationAndConnectionAreTriedOnceMoreThenRaised)
{
    // eventSink false: the offered sink is no event sink (the engine's control interface).
    const struct { const char* failing; long failures; HRESULT status; bool eventSink; HRESULT raised; size_t attempts;
                   const IID& iid; } cases[] = {
        {"CreateInstance", 0, S_OK, true, S_OK, 1, IID_NULL},
        {"CreateInstance", 1, E_OUTOFMEMORY, true, S_OK, 2, IID_NULL},
        {"CreateInstance", 2, CO_E_SERVER_EXEC_FAILURE, true, CO_E_SERVER_EXEC_FAILURE, 2, IID_IDownloadEngine},
        {"Advise", 0, S_OK, true, S_OK, 1, IID_NULL},
        {"Advise", 1, CONNECT_E_ADVISELIMIT, true, S_OK, 2, IID_NULL},
        {"Advise", 2, CONNECT_E_ADVISELIMIT, true, CONNECT_E_ADVISELIMIT, 2, IID_IConnectionPoint},
        {"Advise", 0, S_OK, false, CONNECT_E_CANNOTCONNECT, 2, IID_IConnectionPoint},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.failing) + " failing " + std::to_string(c.failures) +
                     (c.eventSink ? "" : ", not an event sink"));
        test::EngineStandIn engine;
        if (c.failures)
            engine.FailNext(c.failing, c.status, c.failures);
        auto sink = NewSink();
        CEngine link;
        CEngineEventConnection connection;
        const CComError raised = Raised([&] {
            link = CEngine::Create();
            com_ptr<IUnknown> offered(static_cast<_IDownloadEngineEvents*>(sink.get()));
            if (!c.eventSink)
                link.get()->QueryInterface(__uuidof(ITestEngineControl), offered.put_void());
            connection.Connect(link.get(), offered.get());
        });
        EXPECT_EQ(c.raised, raised.Status()) << std::hex << raised.Status();
        EXPECT_EQ(c.raised == S_OK, connection.Connected());
        EXPECT_EQ(c.attempts, engine.CallsNamed(c.failing).size()) << engine.CallLog();
        EXPECT_EQ(IidText(c.iid), IidText(raised.Interface()));
    }
}

}  // namespace
