// The window class template: message maps, object lifetime around the window,
// subclassing and the module's activation context.
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "framework/activation_context.h"
#include "framework/module.h"
#include "framework/window.h"

using namespace tdm;

namespace {

constexpr UINT kPing = WM_APP + 1, kPassOn = WM_APP + 2, kThrow = WM_APP + 3;

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
    LRESULT OnCommand42(WORD code, WORD, HWND, bool&)
    {
        seen.push_back(WM_COMMAND);
        return code;
    }
    void OnFinalMessage() override { ++finalMessages; }
};

HWND CreateEdit() { return ::CreateWindowExW(0, L"EDIT", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, 0); }

LONG Locks() { return CModule::Instance().LockCount(); }

}  // namespace

TEST(WindowTest, MessageMapDispatchesAndFallsBackToDefaultProcessing)
{
    CBaseWindow window;
    ASSERT_NE(nullptr, window.Create(nullptr, RECT{0, 0, 100, 50}, L"test", WS_OVERLAPPEDWINDOW));
    EXPECT_EQ(8, ::SendMessageW(window.Window(), kPing, 7, 0));
    EXPECT_EQ(0, ::SendMessageW(window.Window(), kPassOn, 0, 0)) << "unhandled messages reach DefWindowProc";
    EXPECT_EQ(5, ::SendMessageW(window.Window(), WM_COMMAND, MAKEWPARAM(42, 5), 0));
    EXPECT_EQ(0, ::SendMessageW(window.Window(), kThrow, 0, 0)) << "a throwing handler does not cross the procedure";
    EXPECT_EQ((std::vector<UINT>{kPing, kPassOn, WM_COMMAND}), window.seen);
    window.DestroyWindow();
    EXPECT_EQ(nullptr, window.Window());
    EXPECT_EQ(1, window.finalMessages);
}

TEST(WindowTest, TwoObjectsOnOneWindowEachSeeEveryMessageOnceAndLeaveInAnyOrder)
{
    const LONG locksBefore = Locks();
    for (const bool firstLeavesFirst : {true, false})
    {
        HWND edit = CreateEdit();
        ASSERT_NE(nullptr, edit);
        auto first = std::make_unique<CBaseWindow>(), second = std::make_unique<CBaseWindow>();
        ASSERT_TRUE(first->Subclass(edit));
        ASSERT_TRUE(second->Subclass(edit));
        EXPECT_EQ(locksBefore + 2, Locks()) << "each object in the chain locks the module";
        // The later object answers kPing; kPassOn goes through both to the edit.
        EXPECT_EQ(8, ::SendMessageW(edit, kPing, 7, 0));
        EXPECT_EQ(0, ::SendMessageW(edit, kPassOn, 0, 0));
        EXPECT_EQ((std::vector<UINT>{kPing, kPassOn}), second->seen);
        EXPECT_EQ((std::vector<UINT>{kPassOn}), first->seen);

        auto& leaving = firstLeavesFirst ? first : second;
        auto& staying = firstLeavesFirst ? second : first;
        EXPECT_TRUE(leaving->Unsubclass());
        leaving.reset();
        staying->seen.clear();
        EXPECT_EQ(8, ::SendMessageW(edit, kPing, 7, 0));
        EXPECT_EQ((std::vector<UINT>{kPing}), staying->seen);
        ::SetWindowTextW(edit, L"still an edit");
        EXPECT_EQ(13, ::GetWindowTextLengthW(edit)) << "the control behind the chain still does its work";
        ::DestroyWindow(edit);
        EXPECT_EQ(nullptr, staying->Window()) << "WM_NCDESTROY takes the object out of the chain";
        EXPECT_EQ(1, staying->finalMessages);
        EXPECT_EQ(locksBefore, Locks());
    }
}

TEST(WindowTest, AWindowOutlivingItsObjectNoLongerHoldsOrCallsTheModule)
{
    const LONG locksBefore = Locks();
    HWND edit = CreateEdit();
    ASSERT_NE(nullptr, edit);
    HWND own = nullptr;
    {
        CBaseWindow subclass, created;
        ASSERT_TRUE(subclass.Subclass(edit));
        own = created.Create(nullptr, RECT{0, 0, 10, 10}, L"own", WS_POPUP);
        ASSERT_NE(nullptr, own);
        EXPECT_EQ(locksBefore + 2, Locks()) << "the module must not report it can unload";
    }
    // The objects are gone: the module may unload, and the windows must not reach it.
    EXPECT_EQ(locksBefore, Locks());
    EXPECT_EQ(0, ::SendMessageW(edit, kPing, 7, 0));
    ::SetWindowTextW(edit, L"edit");
    EXPECT_EQ(4, ::GetWindowTextLengthW(edit));
    EXPECT_FALSE(::IsWindow(own)) << "a window of the object's own class goes with the object";
    ::DestroyWindow(edit);
}

TEST(WindowTest, ModuleActivationContextComesFromTheManifest)
{
    ASSERT_NE(INVALID_HANDLE_VALUE, ModuleActivationContext());
    CActivationScope scope;
    HANDLE current = nullptr;
    ASSERT_TRUE(::GetCurrentActCtx(&current));
    EXPECT_NE(nullptr, current);
    ::ReleaseActCtx(current);
}
