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

#include "framework/unique_any.h"
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

// One call of the viewer: owner, file, command, data.
using HelpCall = std::tuple<HWND, std::string, UINT, DWORD_PTR>;

// The stand-in viewer, loaded under the name the module looks for.
class HelpViewer
{
public:
    HelpViewer() : m_module(::LoadLibraryA((ModuleFolder() + "standins\\help_viewer\\hhctrl.ocx").c_str()))
    {
        if (m_module)
            Function<void(WINAPI*)()>("StandInReset")();
    }
    bool Loaded() const { return static_cast<bool>(m_module); }
    void AnswerWithWindow(bool window) const { Function<void(WINAPI*)(BOOL)>("StandInSetAnswer")(window); }
    int Calls() const { return Function<int(WINAPI*)()>("StandInCallCount")(); }
    HelpCall Last() const
    {
        HelpCall call;
        char file[MAX_PATH] = {};
        Function<BOOL(WINAPI*)(int, HWND*, char*, int, UINT*, DWORD_PTR*)>("StandInGetCall")(
            Calls() - 1, &std::get<0>(call), file, MAX_PATH, &std::get<2>(call), &std::get<3>(call));
        std::get<1>(call) = file;
        return call;
    }

private:
    template <typename F>
    F Function(const char* name) const
    {
        return reinterpret_cast<F>(::GetProcAddress(m_module.get(), name));
    }
    unique_hmodule m_module;
};

constexpr UINT kDisplayTopic = 0x0000;
constexpr UINT kHelpContext = 0x000F;
constexpr DWORD_PTR kDialogTopic = 0x20000 + CTestHelpDialog::TemplateId;

class HelpTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(viewer.Loaded()) << "the help viewer stand-in is missing";
        ResetUiLanguage(1033);
        ASSERT_NE(nullptr, dialog.Create(nullptr));
    }
    void TearDown() override
    {
        dialog.DestroyWindow();
        ResetUiLanguage(savedLanguage);
    }

    HelpViewer viewer;
    CTestHelpDialog dialog;
    const WORD savedLanguage = GetUiLanguage();
};

}  // namespace

TEST_F(HelpTest, ShowHelpOpensTheLanguagesFileAtATopicOrItsContents)
{
    HWND window = ShowHelp(dialog.Window(), 0x2012D);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(HelpCall(dialog.Window(), ModuleFolder() + "tdm1033.chm", kHelpContext, 0x2012D), viewer.Last());
    char title[64] = {};
    ::GetWindowTextA(window, title, sizeof(title));
    EXPECT_STREQ("Tolvane Download Manager", title);

    ResetUiLanguage(1049);
    ASSERT_NE(nullptr, ShowHelp(nullptr, kHelpContents));
    EXPECT_EQ(HelpCall(nullptr, ModuleFolder() + "tdm1049.chm", kDisplayTopic, 0), viewer.Last());
}

TEST_F(HelpTest, DialogRequestsMapToTopics)
{
    const struct
    {
        const char* what;
        UINT message;
        WPARAM wParam;
        int menuItem;  // for WM_HELP: the menu item id, or -1 for a control
        UINT expectedCommand;
        DWORD_PTR expectedData;
    } requests[] = {
        {"Help button", WM_COMMAND, 9, 0, kHelpContext, kDialogTopic},
        {"F1 on a control", WM_HELP, 0, -1, kHelpContext, kDialogTopic},
        {"F1 on a menu item", WM_HELP, 0, 32782, kHelpContext, 0x10000 + 32782},
        {"F1 on menu item 9", WM_HELP, 0, 9, kHelpContext, kDialogTopic},
        {"F1 on menu item 0", WM_HELP, 0, 0, kHelpContext, kDialogTopic},
        {"help contents command", WM_COMMAND, 32796, 0, kDisplayTopic, 0},
        {"property sheet help", WM_NOTIFY, 0, 0, kHelpContext, kDialogTopic},
    };
    for (const auto& request : requests)
    {
        const bool control = request.menuItem < 0;
        HELPINFO info{sizeof(info), control ? HELPINFO_WINDOW : HELPINFO_MENUITEM, control ? 1000 : request.menuItem,
                      control ? ::GetDlgItem(dialog.Window(), 1000) : nullptr, 0, {}};
        PSHNOTIFY notify{{dialog.Window(), 0, PSN_HELP}, 0};
        const LPARAM lParam = request.message == WM_HELP     ? reinterpret_cast<LPARAM>(&info)
                              : request.message == WM_NOTIFY ? reinterpret_cast<LPARAM>(&notify)
                                                             : 0;
        const int before = viewer.Calls();
        ::SendMessageW(dialog.Window(), request.message, request.wParam, lParam);
        ASSERT_EQ(before + 1, viewer.Calls()) << request.what;
        EXPECT_EQ(HelpCall(dialog.Window(), ModuleFolder() + "tdm1033.chm", request.expectedCommand,
                           request.expectedData),
                  viewer.Last())
            << request.what;
    }
}

TEST_F(HelpTest, HelpThatCannotBeShownIsReportedInAnErrorBox)
{
    viewer.AnswerWithWindow(false);
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
