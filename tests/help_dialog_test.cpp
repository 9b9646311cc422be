// HTML Help requests: the help file and commands ShowHelp hands to the viewer,
// and how the help dialog layer maps buttons, F1, menu items and the sheet
// notification to topics. The viewer is a stand-in hhctrl.ocx that records calls
// (Wine must load that file rather than its own viewer).
// test-environment: WINEDLLOVERRIDES=hhctrl.ocx=n
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "resources/resource.h"
#include "support/message_box_hook.h"
#include "dialogs/help_dialog.h"
#include "text/language.h"

using namespace tdm;

namespace {

class CTestHelpDialog : public CHelpDlgT<CTestHelpDialog>
{
public:
    static constexpr UINT TemplateId = 9100;
};

std::string ModuleFolder()
{
    char path[MAX_PATH];
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.erase(folder.find_last_of('\\') + 1);
}

// A function of the stand-in viewer, loaded once under the name the module looks for.
template <typename F>
F Viewer(const char* function)
{
    static const HMODULE viewer = ::LoadLibraryA((ModuleFolder() + "standins\\help_viewer\\hhctrl.ocx").c_str());
    return viewer ? reinterpret_cast<F>(::GetProcAddress(viewer, function)) : nullptr;
}

// One call of the viewer: owner, file, command, data.
using HelpCall = std::tuple<HWND, std::string, UINT, DWORD_PTR>;

int ViewerCalls() { return Viewer<int(WINAPI*)()>("StandInCallCount")(); }

HelpCall LastViewerCall()
{
    HelpCall call;
    char file[MAX_PATH] = {};
    Viewer<BOOL(WINAPI*)(int, HWND*, char*, int, UINT*, DWORD_PTR*)>("StandInGetCall")(
        ViewerCalls() - 1, &std::get<0>(call), file, MAX_PATH, &std::get<2>(call), &std::get<3>(call));
    std::get<1>(call) = file;
    return call;
}

constexpr UINT kDisplayTopic = 0x0000;
constexpr UINT kHelpContext = 0x000F;
constexpr DWORD_PTR kDialogTopic = 0x20000 + CTestHelpDialog::TemplateId;

class HelpTest : public testing::Test
{
protected:
    void SetUp() override
    {
        const auto reset = Viewer<void(WINAPI*)()>("StandInReset");
        ASSERT_NE(nullptr, reset) << "the help viewer stand-in is missing";
        reset();
        ResetUiLanguage(1033);
        ASSERT_NE(nullptr, dialog.Create(nullptr));
    }
    void TearDown() override
    {
        dialog.DestroyWindow();
        ResetUiLanguage(savedLanguage);
    }

    CTestHelpDialog dialog;
    const WORD savedLanguage = GetUiLanguage();
};

}  // namespace

// Each request opens the interface language's help file next to the module, at
// a topic or at its contents, in a window titled with the product name.
TEST_F(HelpTest, DialogRequestsOpenTheLanguagesFileAtTheirTopics)
{
    const struct
    {
        const char* what;
        WORD language;
        UINT message;
        WPARAM wParam;
        int menuItem;  // for WM_HELP: the menu item id, or -1 for a control
        UINT expectedCommand;
        DWORD_PTR expectedData;
    } requests[] = {
        {"Help button", 1033, WM_COMMAND, 9, 0, kHelpContext, kDialogTopic},
        {"F1 on a control", 1033, WM_HELP, 0, -1, kHelpContext, kDialogTopic},
        {"F1 on a menu item", 1033, WM_HELP, 0, 32782, kHelpContext, 0x10000 + 32782},
        {"F1 on menu item 9", 1033, WM_HELP, 0, 9, kHelpContext, kDialogTopic},
        {"F1 on menu item 0", 1033, WM_HELP, 0, 0, kHelpContext, kDialogTopic},
        {"help contents command", 1033, WM_COMMAND, 32796, 0, kDisplayTopic, 0},
        {"property sheet help, in Russian", 1049, WM_NOTIFY, 0, 0, kHelpContext, kDialogTopic},
    };
    for (const auto& request : requests)
    {
        ResetUiLanguage(request.language);
        const bool control = request.menuItem < 0;
        HELPINFO info{sizeof(info), control ? HELPINFO_WINDOW : HELPINFO_MENUITEM, control ? 1000 : request.menuItem,
                      control ? ::GetDlgItem(dialog.Window(), 1000) : nullptr, 0, {}};
        PSHNOTIFY notify{{dialog.Window(), 0, PSN_HELP}, 0};
        const LPARAM lParam = request.message == WM_HELP     ? reinterpret_cast<LPARAM>(&info)
                              : request.message == WM_NOTIFY ? reinterpret_cast<LPARAM>(&notify)
                                                             : 0;
        const int before = ViewerCalls();
        ::SendMessageW(dialog.Window(), request.message, request.wParam, lParam);
        ASSERT_EQ(before + 1, ViewerCalls()) << request.what;
        EXPECT_EQ(HelpCall(dialog.Window(), ModuleFolder() + "tdm" + std::to_string(request.language) + ".chm",
                           request.expectedCommand, request.expectedData),
                  LastViewerCall())
            << request.what;
    }
    EXPECT_NE(nullptr, ::FindWindowA(nullptr, "Tolvane Download Manager")) << "the help window's title";
}

TEST_F(HelpTest, HelpThatCannotBeShownIsReportedInAnErrorBox)
{
    Viewer<void(WINAPI*)(BOOL)>("StandInSetAnswer")(FALSE);
    test::MessageBoxRecorder boxes;
    boxes.AnswerNext(IDOK);
    ::SendMessageW(dialog.Window(), WM_COMMAND, 9, 0);
    ASSERT_EQ(1u, boxes.Boxes().size());
    const test::RecordedBox& box = boxes.Boxes()[0];
    EXPECT_EQ("Failed to launch help. Try to reinstall the application.", box.text);
    EXPECT_EQ("Tolvane Download Manager", box.caption);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), box.icon);
    EXPECT_TRUE(box.expected);
}
