// The engine link against the in-process engine stand-in of the test prefix:
// creation and connection tried once more, every operation's arguments reaching
// the engine in order, failures raised with the engine's status and description,
// events reaching a connected sink until it disconnects.
#include <windows.h>
#include <gtest/gtest.h>
#include <olectl.h>

#include <cstring>
#include <optional>
#include <string>

#include "engine/engine_link.h"
#include "framework/error.h"
#include "framework/module.h"
#include "support/engine_standin.h"
#include "support/raised.h"

using namespace tdm;

namespace {

std::string Description(const CComError& error)
{
    unique_bstr text;
    if (!error.ErrorInfo() || FAILED(error.ErrorInfo()->GetDescription(text.put())))
        return "<none>";
    return Utf8FromWide(WideFromBstr(text.get()));
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
        // Everything the test made is gone: the stand-in's engines, option objects
        // and connections, and the sinks (objects of this module).
        EXPECT_EQ(0, standIn->LiveObjects());
        EXPECT_EQ(0, standIn->Connections());
        EXPECT_EQ(0, CModule::Instance().LockCount());
        standIn.reset();
        ::CoUninitialize();
    }

    test::EngineStandIn& StandIn() { return *standIn; }

    std::optional<test::EngineStandIn> standIn;
};

// Option values as the link returns them, as text.
std::string Text(const std::wstring& text) { return Utf8FromWide(text); }
std::string Text(long number) { return std::to_string(number); }
std::string Text(bool flag) { return flag ? "1" : "0"; }

const HWND kOwner = reinterpret_cast<HWND>(0x1234);  // reaches the engine as 4660

// An operation of the link, the call the engine must receive for it, and what
// the link returns (as text) from the answers of Configure.
struct Operation
{
    const char* call;
    std::string (*run)(const CEngine&);
    const char* result;
};

void Configure(test::EngineStandIn& engine)
{
    engine.Answer("GetLanguage", {0x0419});
    engine.Answer("GetTrafficMode", {3});
    engine.Answer("GetKeepDescriptionFile", {true});
    engine.Answer("GetLogSettings", {false, -1, true});  // outputs that differ, so that swapped ones show
    engine.Answer("GetDownloadLog(12)", {"01.02.2026\t10:00:00\tЗагрузка 下载\r\n"});
    engine.Answer("GetOptions", {"Url", "http://host/answered.zip"});
    engine.Answer("GetOptions(12)", {"MaxRedirections", 9});
    engine.AddListRow({1, "http://host/one.zip"});
    engine.AddListRow({2, "ftp://host/two.bin"});
}

const Operation kOperations[] = {
    // Texts in any script reach the engine as they are, whatever the ANSI code page.
    {"AddUrl(http://хост.рф/архив 文件.zip, C:\\Загрузки\\下载\\, 4660, 1, -1, k=значение)",
     [](const CEngine& e) {
         e.AddUrl(L"http://хост.рф/архив 文件.zip", L"C:\\Загрузки\\下载\\", kOwner, true, L"k=значение");
         return std::string();
     },
     ""},
    {"AddUrl(ftp://host/b.bin, , 0, 0, -1, )",
     [](const CEngine& e) { e.AddUrl(L"ftp://host/b.bin", L"", nullptr, false, L""); return std::string(); }, ""},
    {"StartDownload(12, 4660, a=1; b=2)",
     [](const CEngine& e) { e.StartDownload(12, kOwner, L"a=1; b=2"); return std::string(); }, ""},
    {"PauseDownload(12, 4660)", [](const CEngine& e) { e.PauseDownload(12, kOwner); return std::string(); }, ""},
    {"DeleteDownload(-7)", [](const CEngine& e) { e.DeleteDownload(-7); return std::string(); }, ""},
    {"GetDownloadLog(12)", [](const CEngine& e) { return Text(WideFromBstr(e.GetDownloadLog(12).get())); },
     "01.02.2026\t10:00:00\tЗагрузка 下载\r\n"},
    {"GetOptions(12)",  // its answer and the defaults
     [](const CEngine& e) {
         const CDownloadOptions o = e.GetOptions(12);
         return Text(o.MaxRedirections()) + " " + Text(o.IntegerOption1()) + " " + Text(o.Url());
     },
     "9 120 http://host/answered.zip"},
    {"SetOptions(12, 4660, options#1)",
     [](const CEngine& e) { e.SetOptions(12, kOwner, e.GetOptions(12)); return std::string(); }, ""},
    {"GetLogSettings()",
     [](const CEngine& e) {
         const EngineLogSettings s = e.GetLogSettings();
         return std::to_string(s.keepCommonLog) + " " + std::to_string(s.daysToKeep) + " " +
                std::to_string(s.logPerDownload);
     },
     "0 -1 1"},
    {"SetLogSettings(-1, 14, 0)", [](const CEngine& e) { e.SetLogSettings({true, 14, false}); return std::string(); },
     ""},
    {"GetLanguage()", [](const CEngine& e) { return std::to_string(e.GetLanguage()); }, "1049"},
    {"SetLanguage(1049)", [](const CEngine& e) { e.SetLanguage(0x0419); return std::string(); }, ""},
    {"GetKeepDescriptionFile()", [](const CEngine& e) { return std::to_string(e.GetKeepDescriptionFile()); }, "1"},
    {"SetKeepDescriptionFile(-1)", [](const CEngine& e) { e.SetKeepDescriptionFile(true); return std::string(); }, ""},
    {"GetTrafficMode()", [](const CEngine& e) { return std::to_string(e.GetTrafficMode()); }, "3"},
    {"SetTrafficMode(1)", [](const CEngine& e) { e.SetTrafficMode(1); return std::string(); }, ""},
    {"AddDownload(options#1, 4660, 1, -1, )",
     [](const CEngine& e) { e.AddDownload(e.GetOptions(-1), kOwner, true, L""); return std::string(); }, ""},
    {"GetDownloadList()",
     [](const CEngine& e) {
         unique_variant list;
         e.GetDownloadList(list);
         LONG last = -1;
         ::SafeArrayGetUBound(V_VT(list.get()) & VT_ARRAY ? V_ARRAY(list.get()) : nullptr, 1, &last);
         return std::to_string(last + 1);
     },
     "2"},
    // The option properties, each written and read back on a new option object
    // (flags against their defaults: UseIEProxySettings and FtpPassive are set).
#define OPTION(Name, written, call, result)                                                    \
    {"put_" #Name "(" call ")", [](const CEngine& e) {                                         \
         const CDownloadOptions o = e.GetOptions(-1);                                          \
         o.Set##Name(written);                                                                 \
         return Text(o.Name());                                                                \
     }, result}
    OPTION(Url, L"http://host/файл.zip", "http://host/файл.zip", "http://host/файл.zip"),
    OPTION(IntegerOption1, 90, "90", "90"),
    OPTION(LocalPath, L"C:\\dl\\文件.zip", "C:\\dl\\文件.zip", "C:\\dl\\文件.zip"),
    OPTION(UserName, L"пользователь", "пользователь", "пользователь"),
    OPTION(Password, L"密码secret", "密码secret", "密码secret"),
    OPTION(UseProxy, true, "-1", "1"),
    OPTION(UseIEProxySettings, false, "0", "0"),
    OPTION(ProxyUserName, L"puser", "puser", "puser"),
    OPTION(ProxyPassword, L"psecret", "psecret", "psecret"),
    OPTION(ProxyServers, L"http=прокси:8080", "http=прокси:8080", "http=прокси:8080"),
    OPTION(IntegerOption2, 5, "5", "5"),
    OPTION(ProxyBypass, L"<local>", "<local>", "<local>"),
    OPTION(MaxRedirections, 7, "7", "7"),
    OPTION(FtpPassive, false, "0", "0"),
#undef OPTION
};

// Each operation reaches the engine once, with its arguments in order, and
// returns what the engine answered; made to fail, it is raised with the engine's
// status, interface and description, and not repeated.
TEST_F(EngineLinkTest, EachOperationReachesTheEngineOnceAndItsFailureIsRaised)
{
    HRESULT status = 0x80041000;
    for (const Operation& operation : kOperations)
    {
        SCOPED_TRACE(operation.call);
        test::EngineStandIn engine;
        Configure(engine);
        const std::string name(operation.call, std::strcspn(operation.call, "("));
        const bool option = name.compare(0, 4, "put_") == 0;
        const CEngine link = CEngine::Create();
        EXPECT_EQ(S_OK, test::Raised([&] { EXPECT_EQ(operation.result, operation.run(link)); }).Status());
        EXPECT_TRUE(engine.Expect(operation.call));
        if (std::strstr(operation.call, "options#"))
        {
            EXPECT_EQ("http://host/answered.zip", engine.PassedOption("Url")) << "the object the link was given";
        }
        if (option)
        {
            EXPECT_TRUE(engine.Expect("get_" + name.substr(4) + "()"));
        }
        EXPECT_EQ(1u, engine.Count(name));

        engine.FailNext(name, ++status, 1, "fails: " + name);
        const CComError raised = test::Raised([&] { operation.run(link); });
        EXPECT_EQ(status, raised.Status()) << std::hex << raised.Status();
        const IID& failed = option ? IID_IDownloadOptions : IID_IDownloadEngine;
        EXPECT_EQ(test::IidText(failed), test::IidText(raised.Interface()));
        EXPECT_EQ("fails: " + name, Description(raised));
        EXPECT_EQ(2u, engine.Count(name));
    }
}

// Creating the engine and connecting a sink are tried once more, then raised
// with the interface that failed.
TEST_F(EngineLinkTest, CreationAndConnectionAreTriedOnceMoreThenRaised)
{
    // eventSink false: the offered sink is no event sink (the engine itself).
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
        auto sink = test::CEventRecorder::Create();
        CEngine link;
        CEngineEventConnection connection;
        const CComError raised = test::Raised([&] {
            link = CEngine::Create();
            connection.Connect(link.get(), c.eventSink ? static_cast<IUnknown*>(sink->Sink()) : link.get());
        });
        EXPECT_EQ(c.raised, raised.Status()) << std::hex << raised.Status();
        EXPECT_EQ(c.raised == S_OK, connection.Connected());
        EXPECT_EQ(c.attempts, engine.Count(c.failing));
        EXPECT_EQ(test::IidText(c.iid), test::IidText(raised.Interface()));
    }
}

// A connected sink gets the events with their arguments in declaration order;
// a flag it claims reaches the engine.
TEST_F(EngineLinkTest, ConnectedSinkGetsEventsInDeclarationOrder)
{
    auto sink = test::CEventRecorder::Create();
    sink->claim = true;
    const CEngine link = CEngine::Create();
    CEngineEventConnection connection;
    connection.Connect(link.get(), sink->Sink());
    EXPECT_EQ(1, StandIn().Fire("DownloadAdded", {7, "http://host/a.zip", "C:\\dl\\", "a.zip", 2, 3}));
    EXPECT_EQ(1, StandIn().Fire("DownloadCompleted", {7, 4, 0.5, 4660, 0, false}));
    EXPECT_EQ("-1", StandIn().FiredArgument(5));
    ASSERT_EQ(2u, sink->received.size());
    EXPECT_EQ(1, sink->received[0].dispid);
    EXPECT_EQ((std::vector<std::string>{"7", "http://host/a.zip", "C:\\dl\\", "a.zip", "2", "3"}),
              sink->received[0].arguments);
    EXPECT_EQ(8, sink->received[1].dispid);
    EXPECT_EQ((std::vector<std::string>{"7", "4", "0.5", "4660", "0", "0"}), sink->received[1].arguments);
}

TEST_F(EngineLinkTest, DisconnectingStopsDelivery)
{
    auto sink = test::CEventRecorder::Create();
    const CEngine link = CEngine::Create();
    {
        CEngineEventConnection connection;
        connection.Connect(link.get(), sink->Sink());
        EXPECT_EQ(1, StandIn().Fire("DownloadDeleted", {1}));
        EXPECT_EQ(S_OK, connection.Disconnect());
        EXPECT_FALSE(connection.Connected());
        EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {2}));
        EXPECT_EQ(S_OK, connection.Disconnect());  // nothing left to end
        // Ended from inside an event handler, as a bar hidden by its own event
        // handling does.
        connection.Connect(link.get(), sink->Sink());
        sink->onEvent = [&] { EXPECT_EQ(S_OK, connection.Disconnect()); };
        EXPECT_EQ(1, StandIn().Fire("DownloadDeleted", {3}));
        EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {4}));
        sink->onEvent = nullptr;
        // The connection's owner going away disconnects.
        connection.Connect(link.get(), sink->Sink());
    }
    EXPECT_EQ(0, StandIn().Fire("DownloadDeleted", {5}));
    ASSERT_EQ(2u, sink->received.size());
    EXPECT_EQ("1", sink->received[0].arguments[0]);
    EXPECT_EQ("3", sink->received[1].arguments[0]);
    EXPECT_EQ(3u, StandIn().Count("Unadvise"));
}

}  // namespace
