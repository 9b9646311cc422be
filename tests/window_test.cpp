// The window class template: message maps, object lifetime around the window,
// subclassing and the module's activation context.
#include <windows.h>
#include <gtest/gtest.h>

#include <vector>

#include "framework/activation_context.h"
#include "framework/window.h"

using namespace tdm;

namespace {

constexpr UINT kPing = WM_APP + 1;
constexpr UINT kPassOn = WM_APP + 2;
constexpr UINT kThrow = WM_APP + 3;

class CBaseWindow : public CWindowImplT<CBaseWindow>
{
public:
    static const wchar_t* ClassName() { return L"TolvaneTestWindow"; }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(kPing, OnPing)
        TDM_ON_MESSAGE(kPassOn, OnPassOn)
        TDM_ON_MESSAGE(kThrow, OnThrow)
        TDM_ON_COMMAND(42, OnCommand42)
    TDM_END_MESSAGE_MAP()

    std::vector<UINT> seen;
    int finalMessages = 0;
    bool activationActiveAtCreate = false;

protected:
    LRESULT OnPing(UINT message, WPARAM wParam, LPARAM, bool&)
    {
        seen.push_back(message);
        return static_cast<LRESULT>(wParam) + 1;
    }
    LRESULT OnPassOn(UINT message, WPARAM, LPARAM, bool& handled)
    {
        seen.push_back(message);
        handled = false;  // let default processing answer
        return 12345;
    }
    LRESULT OnThrow(UINT, WPARAM, LPARAM, bool&) { throw 1; }
    LRESULT OnCommand42(WORD code, WORD id, HWND, bool&)
    {
        seen.push_back(WM_COMMAND);
        return code;
    }
    void OnFinalMessage() override { ++finalMessages; }
};

// A procedure installed over a window after our subclass, to check the chain.
WNDPROC g_previous = nullptr;
LRESULT CALLBACK ForeignProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return ::CallWindowProcW(g_previous, window, message, wParam, lParam);
}

}  // namespace

TEST(WindowTest, MessageMapDispatchesAndFallsBackToDefaultProcessing)
{
    CBaseWindow window;
    const RECT rect{0, 0, 100, 50};
    ASSERT_NE(nullptr, window.Create(nullptr, rect, L"test", WS_OVERLAPPEDWINDOW));
    EXPECT_EQ(8, ::SendMessageW(window.Window(), kPing, 7, 0));
    EXPECT_EQ(0, ::SendMessageW(window.Window(), kPassOn, 0, 0)) << "unhandled messages reach DefWindowProc";
    EXPECT_EQ(5, ::SendMessageW(window.Window(), WM_COMMAND, MAKEWPARAM(42, 5), 0));
    EXPECT_EQ(0, ::SendMessageW(window.Window(), kThrow, 0, 0)) << "a throwing handler does not cross the procedure";
    EXPECT_EQ((std::vector<UINT>{kPing, kPassOn, WM_COMMAND}), window.seen);
    window.DestroyWindow();
    EXPECT_EQ(nullptr, window.Window());
    EXPECT_EQ(1, window.finalMessages);
}

TEST(WindowTest, SubclassingRestoresTheProcedureOnlyWhenNobodyCameAfter)
{
    HWND edit = ::CreateWindowExW(0, L"EDIT", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, edit);
    const auto original = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(edit, GWLP_WNDPROC));
    {
        CBaseWindow subclass;
        ASSERT_TRUE(subclass.Subclass(edit));
        EXPECT_EQ(8, ::SendMessageW(edit, kPing, 7, 0));
        EXPECT_TRUE(subclass.Unsubclass());
        EXPECT_EQ(original, reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(edit, GWLP_WNDPROC)));
    }
    {
        CBaseWindow subclass;
        ASSERT_TRUE(subclass.Subclass(edit));
        g_previous = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ForeignProc)));
        EXPECT_FALSE(subclass.Unsubclass()) << "a later subclass keeps its place in the chain";
        EXPECT_EQ(&ForeignProc, reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(edit, GWLP_WNDPROC)));
        EXPECT_EQ(0, ::SendMessageW(edit, kPing, 7, 0)) << "the object no longer sees messages";
        // ...but the edit control behind the chain still does its work.
        ::SetWindowTextW(edit, L"still an edit");
        EXPECT_EQ(13, ::GetWindowTextLengthW(edit));
    }
    ::DestroyWindow(edit);
}

TEST(WindowTest, ModuleActivationContextComesFromTheManifest)
{
    ASSERT_NE(INVALID_HANDLE_VALUE, ModuleActivationContext());
    {
        CActivationScope scope;
        HANDLE current = nullptr;
        ASSERT_TRUE(::GetCurrentActCtx(&current));
        EXPECT_NE(nullptr, current);
        ::ReleaseActCtx(current);
    }
}
