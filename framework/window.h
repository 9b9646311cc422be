// Window and dialog class templates with message maps.
//
// A window or dialog class lists its handlers in a message map that reads like a
// table:
//
//     TDM_BEGIN_MESSAGE_MAP()
//         TDM_ON_MESSAGE(WM_SIZE, OnSize)
//         TDM_ON_COMMAND(IDOK, OnOk)
//         TDM_CHAIN_TO(CHelpDlgT<CMyDialog>)
//     TDM_END_MESSAGE_MAP()
//
// Handlers have the forms
//     LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
//     LRESULT OnCommand(WORD code, WORD id, HWND control, bool& handled);
//     LRESULT OnNotify(int id, NMHDR* header, bool& handled);
// and clear `handled` to let the message go on (to a chained map, the previous
// window procedure of a subclassed window, or the default processing).
//
// The object enters the window at WM_NCCREATE (windows), Subclass or
// WM_INITDIALOG (dialogs) and leaves it at WM_NCDESTROY, after which the object no
// longer sees messages. Window and dialog procedures are boundaries: an exception
// thrown by a handler is caught there, traced to the debug output, and the
// message treated as not handled.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "framework/activation_context.h"
#include "framework/error.h"
#include "framework/module.h"

namespace tdm {

class CMessageMap
{
public:
    virtual bool ProcessMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;

protected:
    ~CMessageMap() = default;
};

// The end of a chain of maps (a layer chaining to the window class itself)
// handles nothing.
inline bool CMessageMap::ProcessMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&) { return false; }

#define TDM_BEGIN_MESSAGE_MAP()                                                                               \
    bool ProcessMessage(HWND window_, UINT message_, WPARAM wParam_, LPARAM lParam_, LRESULT& result_) override \
    {                                                                                                        \
        (void)window_;                                                                                       \
        bool handled_ = true;

#define TDM_ON_MESSAGE(message, handler)                                 \
    if (message_ == (message))                                          \
    {                                                                   \
        handled_ = true;                                                \
        result_ = handler(message_, wParam_, lParam_, handled_);        \
        if (handled_)                                                   \
            return true;                                                \
    }

#define TDM_ON_MESSAGE_RANGE(first, last, handler)                      \
    if (message_ >= (first) && message_ <= (last))                      \
    {                                                                   \
        handled_ = true;                                                \
        result_ = handler(message_, wParam_, lParam_, handled_);        \
        if (handled_)                                                   \
            return true;                                                \
    }

#define TDM_ON_COMMAND(id, handler)                                                                     \
    if (message_ == WM_COMMAND && LOWORD(wParam_) == (id))                                             \
    {                                                                                                  \
        handled_ = true;                                                                               \
        result_ = handler(HIWORD(wParam_), LOWORD(wParam_), reinterpret_cast<HWND>(lParam_), handled_); \
        if (handled_)                                                                                  \
            return true;                                                                               \
    }

#define TDM_ON_COMMAND_CODE(id, code, handler)                                                          \
    if (message_ == WM_COMMAND && LOWORD(wParam_) == (id) && HIWORD(wParam_) == (code))                 \
    {                                                                                                  \
        handled_ = true;                                                                               \
        result_ = handler(HIWORD(wParam_), LOWORD(wParam_), reinterpret_cast<HWND>(lParam_), handled_); \
        if (handled_)                                                                                  \
            return true;                                                                               \
    }

#define TDM_ON_NOTIFY_CODE(notifyCode, handler)                                                            \
    if (message_ == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam_)->code == static_cast<UINT>(notifyCode)) \
    {                                                                                                     \
        handled_ = true;                                                                                  \
        result_ = handler(static_cast<int>(wParam_), reinterpret_cast<NMHDR*>(lParam_), handled_);        \
        if (handled_)                                                                                     \
            return true;                                                                                  \
    }

#define TDM_CHAIN_TO(Base)                                                         \
    if (Base::ProcessMessage(window_, message_, wParam_, lParam_, result_))       \
        return true;

#define TDM_END_MESSAGE_MAP() \
    (void)handled_;          \
    return false;            \
    }

// A window implemented by T, on a window of T's own class (Create) or on a window
// somebody else owns (Subclass: a control, a browser window, a property sheet).
//
// Either way the object sits in the window's subclass chain of common controls 6
// (SetWindowSubclass), with the object's address as its id: several objects can
// sit on one window, each sees every message once, and each can leave in any
// order. While the object is in a chain it holds a module lock, so that the module
// does not report itself unloadable while a window could still call its procedure.
//
// T may define
//     static const wchar_t* ClassName();   (its registered class, when it creates windows)
//     static WNDCLASSEXW ClassInfo();       (optional: class styles, background, cursor)
template <typename T>
class CWindowImplT : public CMessageMap
{
public:
    HWND Window() const noexcept { return m_window; }

    // Creates the window of T's own class.
    HWND Create(HWND parent, const RECT& rect, const wchar_t* text, DWORD style, DWORD exStyle = 0, UINT id = 0) noexcept
    {
        if (m_window || !RegisterClassOnce())
            return nullptr;
        CActivationScope activation;
        return ::CreateWindowExW(exStyle, T::ClassName(), text, style, rect.left, rect.top, rect.right - rect.left,
                                 rect.bottom - rect.top, parent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                                 CModule::Instance().ModuleInstance(), static_cast<T*>(this));
    }

    BOOL DestroyWindow() noexcept { return m_window ? ::DestroyWindow(m_window) : FALSE; }

    // Takes over an existing window; the procedures before ours in its chain get
    // every message the map does not handle.
    bool Subclass(HWND window) noexcept
    {
        if (m_window || !window)
            return false;
        return Attach(window);
    }

    // Leaves the window's chain, wherever in it the object sits. The window goes
    // on with the procedures that remain.
    bool Unsubclass() noexcept
    {
        if (!m_window)
            return false;
        Detach();
        return true;
    }

protected:
    // An object leaving with its window alive: a subclassed window goes on without
    // it; a window of the object's own class is destroyed (once the object is out
    // of its chain, so that no message reaches the half-destroyed object).
    ~CWindowImplT()
    {
        const HWND window = m_window;
        const bool ownClass = m_ownClass;
        if (!window)
            return;
        Detach();
        if (ownClass)
            ::DestroyWindow(window);
    }

    LRESULT DefaultProcessing(UINT message, WPARAM wParam, LPARAM lParam) noexcept
    {
        return ::DefSubclassProc(m_window, message, wParam, lParam);
    }

    // Called after WM_NCDESTROY, when the object no longer has a window.
    virtual void OnFinalMessage() {}

    HWND m_window = nullptr;

private:
    UINT_PTR SubclassId() const noexcept { return reinterpret_cast<UINT_PTR>(this); }

    bool Attach(HWND window) noexcept
    {
        if (!::SetWindowSubclass(window, &SubclassProc, SubclassId(), reinterpret_cast<DWORD_PTR>(this)))
            return false;
        m_window = window;
        CModule::Instance().Lock();
        return true;
    }

    void Detach() noexcept
    {
        ::RemoveWindowSubclass(m_window, &SubclassProc, SubclassId());
        m_window = nullptr;
        m_ownClass = false;
        CModule::Instance().Unlock();
    }

    static bool RegisterClassOnce() noexcept
    {
        WNDCLASSEXW info{};
        if (::GetClassInfoExW(CModule::Instance().ModuleInstance(), T::ClassName(), &info))
            return true;
        info = T::ClassInfo();
        info.cbSize = sizeof(info);
        info.lpfnWndProc = &StartProc;
        info.hInstance = CModule::Instance().ModuleInstance();
        info.lpszClassName = T::ClassName();
        return ::RegisterClassExW(&info) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }

public:
    static WNDCLASSEXW ClassInfo() noexcept
    {
        WNDCLASSEXW info{};
        info.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
        info.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        return info;
    }

private:
    // The class procedure of T's windows: the end of their chain. At WM_NCCREATE
    // the object enters the chain and sees that first message itself.
    static LRESULT CALLBACK StartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NCCREATE)
        {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            auto* self = static_cast<CWindowImplT*>(static_cast<T*>(create->lpCreateParams));
            if (self && !self->m_window && self->Attach(window))
            {
                self->m_ownClass = true;
                LRESULT result = 0;
                if (!Dispatch(self, window, message, wParam, lParam, result))
                    result = ::DefWindowProcW(window, message, wParam, lParam);
                return result;
            }
            return FALSE;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    // The message map behind the boundary: an exception thrown by a handler is
    // traced and the message gets its default processing.
    static bool Dispatch(CWindowImplT* self, HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                         LRESULT& result) noexcept
    {
        try
        {
            return self->ProcessMessage(window, message, wParam, lParam, result);
        }
        catch (...)
        {
            TraceCaughtException(__FILE__, __LINE__);
            return false;
        }
    }

    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR data)
    {
        auto* self = reinterpret_cast<CWindowImplT*>(data);
        LRESULT result = 0;
        if (!Dispatch(self, window, message, wParam, lParam, result))
            result = ::DefSubclassProc(window, message, wParam, lParam);
        if (message == WM_NCDESTROY && self->m_window == window)
        {
            self->Detach();
            self->OnFinalMessage();
        }
        return result;
    }

    bool m_ownClass = false;
};

// A dialog implemented by T, on the dialog template T::TemplateId of the module.
template <typename T>
class CDialogImplT : public CMessageMap
{
public:
    HWND Window() const noexcept { return m_window; }

    // Runs the dialog modally; returns the EndDialog result, or -1 on failure.
    INT_PTR DoModal(HWND owner) noexcept
    {
        CActivationScope activation;
        m_modal = true;
        return ::DialogBoxParamW(CModule::Instance().ModuleInstance(), MAKEINTRESOURCEW(T::TemplateId), owner,
                                 &StartProc, reinterpret_cast<LPARAM>(static_cast<CDialogImplT*>(this)));
    }

    // Creates the dialog modelessly.
    HWND Create(HWND parent) noexcept
    {
        CActivationScope activation;
        m_modal = false;
        return ::CreateDialogParamW(CModule::Instance().ModuleInstance(), MAKEINTRESOURCEW(T::TemplateId), parent,
                                    &StartProc, reinterpret_cast<LPARAM>(static_cast<CDialogImplT*>(this)));
    }

    // Describes the dialog as a page of a property sheet (PSP_ flags in `flags`),
    // created by the sheet inside the module's activation context. The object
    // must outlive the page; at WM_INITDIALOG it receives itself as lParam, like
    // a dialog, rather than the page description.
    PROPSHEETPAGEW PropertyPage(DWORD flags) noexcept
    {
        PROPSHEETPAGEW page{};
        page.dwSize = sizeof(page);
        page.dwFlags = flags | PSP_USEFUSIONCONTEXT;
        page.hInstance = CModule::Instance().ModuleInstance();
        page.pszTemplate = MAKEINTRESOURCEW(T::TemplateId);
        page.pfnDlgProc = &PageStartProc;
        page.lParam = reinterpret_cast<LPARAM>(static_cast<CDialogImplT*>(this));
        page.hActCtx = ModuleActivationContext();
        return page;
    }

    BOOL EndDialog(INT_PTR result) noexcept { return ::EndDialog(m_window, result); }
    BOOL DestroyWindow() noexcept { return m_window ? ::DestroyWindow(m_window) : FALSE; }
    bool IsModal() const noexcept { return m_modal; }

protected:
    ~CDialogImplT() = default;
    HWND m_window = nullptr;

private:
    static const wchar_t* PropName() noexcept { return L"TolvaneDialogObject"; }

    // A dialog's procedure is the module's own: the dialog holds a module lock from
    // WM_INITDIALOG to WM_NCDESTROY.
    static INT_PTR CALLBACK StartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        CDialogImplT* self = nullptr;
        if (message == WM_INITDIALOG)
        {
            self = reinterpret_cast<CDialogImplT*>(lParam);
            self->m_window = window;
            ::SetPropW(window, PropName(), self);
            CModule::Instance().Lock();
        }
        else
        {
            self = static_cast<CDialogImplT*>(::GetPropW(window, PropName()));
        }
        if (!self)
            return FALSE;
        LRESULT result = 0;
        bool handled = false;
        try
        {
            handled = self->ProcessMessage(window, message, wParam, lParam, result);
        }
        catch (...)
        {
            TraceCaughtException(__FILE__, __LINE__);
            handled = false;
        }
        if (message == WM_NCDESTROY)
        {
            ::RemovePropW(window, PropName());
            self->m_window = nullptr;
            CModule::Instance().Unlock();
        }
        if (!handled)
            return FALSE;
        switch (message)
        {
        // These messages return their result directly from the dialog procedure.
        case WM_INITDIALOG:
        case WM_CHARTOITEM:
        case WM_COMPAREITEM:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_QUERYDRAGICON:
        case WM_VKEYTOITEM:
            return static_cast<INT_PTR>(result);
        default:
            ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }

    static INT_PTR CALLBACK PageStartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_INITDIALOG)
            lParam = reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam;
        return StartProc(window, message, wParam, lParam);
    }

    bool m_modal = false;
};

}  // namespace tdm
