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

struct HelpCall
{
    HWND owner = nullptr;
    std::string file;
    UINT command = 0;
    DWORD_PTR data = 0;
};

// The stand-in viewer, loaded under the name the module looks for.
class HelpViewer
{
public:
    HelpViewer()
    {
        char path[MAX_PATH];
        ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string folder(path);
        folder.erase(folder.find_last_of('\\') + 1);
        m_module.reset(::LoadLibraryA((folder + "standins\\help_viewer\\hhctrl.ocx").c_str()));
        if (!m_module)
            return;
        m_setAnswer = reinterpret_cast<void(WINAPI*)(BOOL)>(::GetProcAddress(m_module.get(), "StandInSetAnswer"));
        m_count = reinterpret_cast<int(WINAPI*)()>(::GetProcAddress(m_module.get(), "StandInCallCount"));
        m_get = reinterpret_cast<BOOL(WINAPI*)(int, HWND*, char*, int, UINT*, DWORD_PTR*)>(
            ::GetProcAddress(m_module.get(), "StandInGetCall"));
        m_reset = reinterpret_cast<void(WINAPI*)()>(::GetProcAddress(m_module.get(), "StandInReset"));
        if (Loaded())
            m_reset();
    }
    bool Loaded() const { return m_module && m_setAnswer && m_count && m_get && m_reset; }
    void AnswerWithWindow(bool window) { m_setAnswer(window); }
    int Calls() const { return m_count(); }
    HelpCall Call(int index) const
    {
        HelpCall call;
        char file[MAX_PATH] = {};
        m_get(index, &call.owner, file, MAX_PATH, &call.command, &call.data);
        call.file = file;
        return call;
    }
    HelpCall Last() const { return Call(Calls() - 1); }

private:
    unique_hmodule m_module;
    void(WINAPI* m_setAnswer)(BOOL) = nullptr;
    int(WINAPI* m_count)() = nullptr;
    BOOL(WINAPI* m_get)(int, HWND*, char*, int, UINT*, DWORD_PTR*) = nullptr;
    void(WINAPI* m_reset)() = nullptr;
};

std::string ModuleFolder()
{
    char path[MAX_PATH];
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.erase(folder.find_last_of('\\') + 1);
}

constexpr UINT kDisplayTopic = 0x0000;
constexpr UINT kHelpContext = 0x000F;
constexpr DWORD kDialogTopic = 0x20000 + CTestHelpDialog::TemplateId;

class HelpTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(viewer.Loaded()) << "the help viewer stand-in is missing";
        savedLanguage = GetUiLanguage();
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
    WORD savedLanguage = 1033;
};

}  // namespace

TEST_F(HelpTest, ShowHelpOpensTheLanguagesFileAtATopicOrItsContents)
{
    HWND window = ShowHelp(dialog.Window(), 0x2012D);
    ASSERT_NE(nullptr, window);
    HelpCall call = viewer.Last();
    EXPECT_EQ(dialog.Window(), call.owner);
    EXPECT_EQ(ModuleFolder() + "tdm1033.chm", call.file);
    EXPECT_EQ(kHelpContext, call.command);
    EXPECT_EQ(0x2012Du, call.data);
    char title[64] = {};
    ::GetWindowTextA(window, title, sizeof(title));
    EXPECT_STREQ("Tolvane Download Manager", title);

    ResetUiLanguage(1049);
    ASSERT_NE(nullptr, ShowHelp(nullptr, kHelpContents));
    call = viewer.Last();
    EXPECT_EQ(ModuleFolder() + "tdm1049.chm", call.file);
    EXPECT_EQ(kDisplayTopic, call.command);
    EXPECT_EQ(0u, call.data);
}

TEST_F(HelpTest, DialogRequestsMapToTopics)
{
    struct Request
    {
        const char* what;
        UINT message;
        WPARAM wParam;
        int menuItem;  // for WM_HELP: the menu item id, or -1 for a control
        UINT expectedCommand;
        DWORD expectedData;
    };
    const Request requests[] = {
        {"Help button", WM_COMMAND, 9, 0, kHelpContext, kDialogTopic},
        {"F1 on a control", WM_HELP, 0, -1, kHelpContext, kDialogTopic},
        {"F1 on a menu item", WM_HELP, 0, 32782, kHelpContext, 0x10000 + 32782},
        {"F1 on menu item 9", WM_HELP, 0, 9, kHelpContext, kDialogTopic},
        {"F1 on menu item 0", WM_HELP, 0, 0, kHelpContext, kDialogTopic},
        {"help contents command", WM_COMMAND, 32796, 0, kDisplayTopic, 0},
        {"property sheet help", WM_NOTIFY, 0, 0, kHelpContext, kDialogTopic},
    };
    for (const Request& request : requests)
    {
        const int before = viewer.Calls();
        if (request.message == WM_HELP)
        {
            HELPINFO info{};
            info.cbSize = sizeof(info);
            info.iContextType = request.menuItem >= 0 ? HELPINFO_MENUITEM : HELPINFO_WINDOW;
            info.iCtrlId = request.menuItem >= 0 ? request.menuItem : 1000;
            info.hItemHandle = request.menuItem >= 0 ? nullptr : ::GetDlgItem(dialog.Window(), 1000);
            ::SendMessageW(dialog.Window(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
        }
        else if (request.message == WM_NOTIFY)
        {
            PSHNOTIFY notify{};
            notify.hdr.hwndFrom = dialog.Window();
            notify.hdr.code = PSN_HELP;
            ::SendMessageW(dialog.Window(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
        }
        else
        {
            ::SendMessageW(dialog.Window(), WM_COMMAND, request.wParam, 0);
        }
        ASSERT_EQ(before + 1, viewer.Calls()) << request.what;
        const HelpCall call = viewer.Last();
        EXPECT_EQ(request.expectedCommand, call.command) << request.what;
        EXPECT_EQ(request.expectedData, call.data) << request.what;
        EXPECT_EQ(dialog.Window(), call.owner) << request.what;
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
