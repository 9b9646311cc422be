// The downloads model of a thread without any bar or toolbar window, against the
// engine stand-in: the connection shared by the views and made all or nothing,
// what the engine's events do to the records and which views hear of it, the
// claims, and the download commands over ids.
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "downloads/download_commands.h"
#include "downloads/downloads_model.h"
#include "framework/error.h"
#include "store/settings_store.h"
#include "support/bar_window.h"
#include "support/engine_standin.h"
#include "support/message_box_hook.h"
#include "support/recording_window.h"
#include "support/registry_sandbox.h"

using namespace tdm;
using namespace tdm::test;

namespace {

// A view that writes down what the model tells it.
struct RecordingView : IDownloadsObserver
{
    void OnDownloadsReset() override { heard.push_back("reset"); }
    void OnDownloadAdded(LONG id) override { heard.push_back("added " + std::to_string(id)); }
    void OnDownloadRemoved(LONG id, int index) override
    {
        heard.push_back("removed " + std::to_string(id) + " at " + std::to_string(index));
    }
    void OnDownloadChanged(LONG id, DownloadChange change) override
    {
        heard.push_back("changed " + std::to_string(id) + "/" + std::to_string(static_cast<int>(change)));
    }
    std::vector<std::string> heard;
};

class DownloadsModelTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        engine = std::make_unique<EngineStandIn>();
        model = CDownloadsModel::ForThisThread();
        model->Advise(&view);
    }
    void TearDown() override
    {
        while (model && model->Connected())
            model->Disconnect();
        if (model)
            model->Unadvise(&view);
        model.reset();
        EXPECT_EQ(0, engine->Connections());
        engine.reset();
        ::CoUninitialize();
    }
    std::vector<std::string> Calls(std::string_view name) const
    {
        std::vector<std::string> found;
        for (const std::string& call : engine->Calls())
            if (call.rfind(std::string(name) + "(", 0) == 0)
                found.push_back(call);
        return found;
    }

    RegistrySandbox sandbox;
    std::unique_ptr<EngineStandIn> engine;
    com_ptr<CDownloadsModel> model;
    RecordingView view;
};

}  // namespace

TEST_F(DownloadsModelTest, AFailedConnectLeavesNothingAndTheNextOneReadsTheList)
{
    AddRow(*engine, 1, "http://host/a", "a", 8, 10, 5);
    for (const char* failing : {"GetDownloadList", "GetLanguage"})
    {
        SCOPED_TRACE(failing);
        engine->FailNext(failing, E_ACCESSDENIED);
        EXPECT_THROW(model->Connect(nullptr), CComError);
        EXPECT_FALSE(model->Connected());
        EXPECT_EQ(0, engine->Connections());
        EXPECT_EQ(0u, model->Downloads().Count());
    }
    model->Connect(nullptr);
    EXPECT_EQ(1u, model->Downloads().Count());
    EXPECT_EQ(1, engine->Connections());
}

TEST_F(DownloadsModelTest, TheBarAndTheToolbarShareOneConnectionUntilBothLetGo)
{
    AddRow(*engine, 1, "http://host/a", "a", 8, 10, 5);
    model->Connect(nullptr);
    model->Connect(nullptr);
    EXPECT_EQ(1u, Calls("GetDownloadList").size()) << "the second view reads nothing";
    model->Disconnect();
    EXPECT_EQ(1, engine->Connections());
    EXPECT_EQ(1, engine->Fire("DownloadDeleted", {1}));
    EXPECT_EQ(0u, model->Downloads().Count());
    model->Disconnect();
    EXPECT_FALSE(model->Connected());
    EXPECT_EQ(0, engine->Connections());
}

TEST_F(DownloadsModelTest, EventsChangeTheRecordsAndTheCountersOnceForEveryView)
{
    AddRow(*engine, 1, "http://host/a", "a", 8, 100, 0);
    model->Connect(nullptr);
    view.heard.clear();
    engine->Fire("DownloadAdded", {2, "http://host/b", "C:\\dl\\", "b", 2, 3});
    EXPECT_EQ(2, model->Find(2)->resumable) << "not known before the server answers";
    engine->Fire("DownloadStateChanged", {1, 1, 0.5});
    engine->Fire("ResumeSupportChanged", {2, true});
    engine->Fire("DownloadProgress", {1, 10, 50, 0.5, 7, 5, 0.0, 1});
    engine->Fire("DownloadStateChanged", {99, 2, 0.0});  // no such download: ignored
    const CDownloadStore& downloads = model->Downloads();
    ASSERT_EQ(2u, downloads.Count());
    EXPECT_EQ(2, downloads.At(1)->id) << "appended at the end";
    EXPECT_EQ(1, model->Find(2)->resumable);
    EXPECT_EQ(50u, model->Find(1)->loadedSize);
    EXPECT_EQ(2u, downloads.ActiveCount()) << "running (1) and transferring (2) both count as active";
    engine->Fire("DownloadDeleted", {1});
    EXPECT_EQ(1u, downloads.ActiveCount());
    EXPECT_EQ((std::vector<std::string>{"added 2", "changed 1/2", "changed 2/0", "changed 1/1", "removed 1 at 0"}),
              view.heard);
}

TEST_F(DownloadsModelTest, EventsForOneWindowOfAllAreClaimedOnceByTheThread)
{
    AddRow(*engine, 1, "http://host/a", "a", 2, 100, 0);
    model->Connect(nullptr);
    // DownloadCompleted with scope 2 (any window) and the flag still false: claimed.
    engine->Fire("DownloadCompleted", {1, 4, 0.5, 0, 2, false});
    EXPECT_EQ("-1", engine->FiredArgument(5));
    EXPECT_EQ(2, model->Find(1)->state) << "only an event of scope 0 changes the record";
    // Already claimed by another window: left alone.
    engine->Fire("DownloadCompleted", {1, 4, 0.5, 0, 0, true});
    EXPECT_EQ(4, model->Find(1)->state);
    EXPECT_EQ(0u, model->Downloads().ActiveCount());
    EXPECT_EQ(1u, model->Downloads().FinishedCount());
}

// The completion box runs a message loop, in which the last view may let the
// model go: the model, whose window shows the box, stays until the notice is
// done and then goes with its window.
TEST_F(DownloadsModelTest, TheLastViewMayLetGoWhileTheCompletionBoxIsOpen)
{
    SetInformWhenCompleted(true);
    AddRow(*engine, 1, "http://host/a", "a", 4, 100, 100);
    model->Connect(nullptr);
    HWND notices = nullptr;  // the model's window, of this thread's
    do
        notices = ::FindWindowExW(HWND_MESSAGE, notices, L"TolvaneDownloadsNotices", nullptr);
    while (notices && ::GetWindowThreadProcessId(notices, nullptr) != ::GetCurrentThreadId());
    ASSERT_TRUE(notices);
    MessageBoxRecorder boxes;
    RecordingWindow lastView(WM_APP);
    bool modelInTheBox = false;
    lastView.OnMessage([&](WPARAM, LPARAM) {
        model->Unadvise(&view);
        model->Disconnect();
        model.reset();
        modelInTheBox = ::IsWindow(notices) != FALSE;
    });
    // The notice a claim posts, then the view's going, which the box's loop runs.
    ::PostMessageW(notices, kCompletionNotice, 1, kNoticeCompleted);
    ::PostMessageW(lastView.Handle(), WM_APP, 0, 0);
    BarWindow::Pump();
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_TRUE(modelInTheBox) << "the model went while its box was open";
    EXPECT_FALSE(::IsWindow(notices)) << "the model stayed after its notice";
}
