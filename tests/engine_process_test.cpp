// The engine link against the engine stand-in as a local server in a process of
// its own (the process prefix registers only test_engine.exe), as the real engine
// runs: calls and events cross apartments and processes through proxies made
// from the engine's type library. A call that hangs is caught by the watchdog of
// the test program, which ends it.
// test-environment: TDM_TEST_WATCHDOG_SECONDS=120
#include <windows.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "engine/engine_link.h"
#include "framework/error.h"
#include "framework/module.h"
#include "framework/unique_any.h"
#include "support/engine_standin.h"
#include "support/raised.h"
#include "support/sta_thread.h"

using namespace tdm;

namespace {

class EngineProcessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        standIn.emplace();
        server.reset(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, standIn->ProcessId()));
        ASSERT_TRUE(server) << "no engine process " << standIn->ProcessId();
        ASSERT_NE(::GetCurrentProcessId(), standIn->ProcessId()) << "the engine runs in the test program";
    }
    void TearDown() override
    {
        // Everything the test made is gone: the engine's objects and connections,
        // the sinks, and with the last object the engine's process.
        if (!killed)
        {
            EXPECT_EQ(0, standIn->LiveObjects());
            EXPECT_EQ(0, standIn->Connections());
        }
        standIn.reset();
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(server.get(), 30000)) << "the engine process did not end";
        EXPECT_EQ(0, CModule::Instance().LockCount());
        ::CoUninitialize();
    }

    std::optional<test::EngineStandIn> standIn;
    unique_handle server;
    bool killed = false;
};

// A sink connected on a browser's bar thread gets the engine's events on that
// thread, and the flag it claims reaches the engine.
TEST_F(EngineProcessTest, EventsReachTheSinkOnItsThreadAndItsClaimReachesTheEngine)
{
    test::StaThread bar;
    com_ptr<CComObject<test::CEventRecorder>> sink;
    CEngine engine;
    CEngineEventConnection connection;
    ASSERT_TRUE(bar.Run([&] {
        sink = test::CEventRecorder::Create();
        sink->claim = true;
        const CComError raised = test::Raised([&] {
            engine = CEngine::Create();
            connection.Connect(engine.get(), sink->Sink());
        });
        EXPECT_EQ(S_OK, raised.Status()) << std::hex << raised.Status();
    }));
    EXPECT_EQ(1, standIn->Fire("DownloadCompleted", {7, 4, 0.5, 4660, 0, false}));
    EXPECT_EQ("-1", standIn->FiredArgument(5));
    ASSERT_TRUE(bar.Run([&] {
        EXPECT_EQ(S_OK, connection.Disconnect());
        engine.reset();
    }));
    ASSERT_EQ(1u, sink->received.size());
    EXPECT_EQ(bar.Id(), sink->received[0].thread);
    EXPECT_EQ(8, sink->received[0].dispid);
    EXPECT_EQ((std::vector<std::string>{"7", "4", "0.5", "4660", "0", "0"}), sink->received[0].arguments);
}

// An event the engine sends from inside a call reaches the sink while the
// client waits for that call, and the sink can call the engine back.
TEST_F(EngineProcessTest, ASinkCallsTheEngineBackFromAnEventSentDuringACall)
{
    auto sink = test::CEventRecorder::Create();
    const CEngine engine = CEngine::Create();
    CEngineEventConnection connection;
    connection.Connect(engine.get(), sink->Sink());
    standIn->Answer("GetLanguage", {0x0419});
    standIn->FireOnCall("DeleteDownload", "DownloadDeleted", {5});
    LANGID language = 0;
    sink->onEvent = [&] { language = engine.GetLanguage(); };
    engine.DeleteDownload(5);
    EXPECT_EQ(0x0419, language);
    ASSERT_EQ(1u, sink->received.size());
    EXPECT_EQ(::GetCurrentThreadId(), sink->received[0].thread);
    EXPECT_TRUE(standIn->Expect("DeleteDownload(5)"));
    EXPECT_TRUE(standIn->Expect("GetLanguage()"));
    EXPECT_EQ(S_OK, connection.Disconnect());
}

// Once the engine's process has died, every call through the wrappers raises
// the disconnection with the engine's interface instead of hanging.
TEST_F(EngineProcessTest, CallsIntoADeadEngineRaiseTheDisconnection)
{
    auto sink = test::CEventRecorder::Create();
    const CEngine engine = CEngine::Create();
    CEngineEventConnection connection;
    connection.Connect(engine.get(), sink->Sink());
    EXPECT_EQ(0x0409, engine.GetLanguage());
    ASSERT_TRUE(::TerminateProcess(server.get(), 1));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(server.get(), 30000));
    killed = true;
    const std::function<void()> calls[] = {
        [&] { engine.GetLanguage(); },
        [&] { engine.AddUrl(L"http://host/a.zip", L"", nullptr, true, L""); },
        [&] { unique_variant list; engine.GetDownloadList(list); },
    };
    for (const auto& call : calls)
    {
        const CComError raised = test::Raised(call);
        const HRESULT status = raised.Status();
        EXPECT_TRUE(status == RPC_E_DISCONNECTED || status == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE))
            << std::hex << status;
        EXPECT_EQ(test::IidText(IID_IDownloadEngine), test::IidText(raised.Interface()));
    }
    EXPECT_TRUE(FAILED(connection.Disconnect()));
    // The dead process's reference to the sink is never released (COM under
    // Wine does not run references of a dead client down); drop it here.
    EXPECT_EQ(S_OK, ::CoDisconnectObject(sink->Sink(), 0));
}

}  // namespace
