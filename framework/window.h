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
// The object pointer is stored at WM_NCCREATE (windows) or WM_INITDIALOG (dialogs)
// and cleared at WM_NCDESTROY, after which the object no longer sees messages.
// Window procedures are boundaries: an exception thrown by a handler is caught
// there and the message is treated as not handled.
#pragma once

#include <windows.h>

#include "framework/activation_context.h"
#include "framework/module.h"

namespace tdm {

class CMessageMap
{
public:
    virtual bool ProcessMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;

protected:
    ~CMessageMap() = default;
};

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

#define TDM_ON_NOTIFY_CODE(code, handler)                                                                  \
    if (message_ == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam_)->code == static_cast<UINT>(code))       \
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

// A window class implemented by T. T may define
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
        if (!RegisterClassOnce())
            return nullptr;
        CActivationScope activation;
        return ::CreateWindowExW(exStyle, T::ClassName(), text, style, rect.left, rect.top, rect.right - rect.left,
                                 rect.bottom - rect.top, parent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                                 CModule::Instance().ModuleInstance(), static_cast<T*>(this));
    }

    BOOL DestroyWindow() noexcept { return m_window ? ::DestroyWindow(m_window) : FALSE; }

    // Takes over an existing window; its previous procedure gets every message
    // the map does not handle.
    bool Subclass(HWND window) noexcept
    {
        if (m_window || !window)
            return false;
        m_window = window;
        ::SetPropW(window, PropName(), static_cast<CWindowImplT*>(this));
        m_previous = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc)));
        return m_previous != nullptr;
    }

    // Gives the window its previous procedure back, unless somebody subclassed it
    // after us (then the chain is left alone). Returns whether it was restored.
    bool Unsubclass() noexcept
    {
        if (!m_window || !m_previous)
            return false;
        bool restored = false;
        if (reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(m_window, GWLP_WNDPROC)) == &SubclassProc)
        {
            ::SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_previous));
            restored = true;
        }
        else
        {
            // Our procedure stays in the chain: it must go on passing every
            // message to the procedure that was there before us.
            ::SetPropW(m_window, PreviousPropName(), reinterpret_cast<HANDLE>(m_previous));
        }
        ::RemovePropW(m_window, PropName());
        m_window = nullptr;
        m_previous = nullptr;
        return restored;
    }

protected:
    ~CWindowImplT() = default;

    LRESULT DefaultProcessing(UINT message, WPARAM wParam, LPARAM lParam) noexcept
    {
        if (m_previous)
            return ::CallWindowProcW(m_previous, m_window, message, wParam, lParam);
        return ::DefWindowProcW(m_window, message, wParam, lParam);
    }

    // Called after WM_NCDESTROY, when the object no longer has a window.
    virtual void OnFinalMessage() {}

    HWND m_window = nullptr;

private:
    static const wchar_t* PropName() noexcept { return L"TolvaneWindowObject"; }
    static const wchar_t* PreviousPropName() noexcept { return L"TolvanePreviousProc"; }

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
    static LRESULT CALLBACK StartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NCCREATE)
        {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            auto* self = static_cast<CWindowImplT*>(static_cast<T*>(create->lpCreateParams));
            self->m_window = window;
            ::SetPropW(window, PropName(), self);
            ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc));
            return SubclassProc(window, message, wParam, lParam);
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = static_cast<CWindowImplT*>(::GetPropW(window, PropName()));
        if (!self)
        {
            // Left in a chain by an object that let go of the window.
            const auto previous = reinterpret_cast<WNDPROC>(::GetPropW(window, PreviousPropName()));
            if (message == WM_NCDESTROY)
                ::RemovePropW(window, PreviousPropName());
            return previous ? ::CallWindowProcW(previous, window, message, wParam, lParam)
                            : ::DefWindowProcW(window, message, wParam, lParam);
        }
        LRESULT result = 0;
        bool handled = false;
        try
        {
            handled = self->ProcessMessage(window, message, wParam, lParam, result);
        }
        catch (...)
        {
            handled = false;
        }
        if (!handled)
            result = self->DefaultProcessing(message, wParam, lParam);
        if (message == WM_NCDESTROY)
        {
            const WNDPROC previous = self->m_previous;
            ::RemovePropW(window, PropName());
            if (previous && reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(window, GWLP_WNDPROC)) == &SubclassProc)
                ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
            self->m_window = nullptr;
            self->m_previous = nullptr;
            self->OnFinalMessage();
        }
        return result;
    }

    WNDPROC m_previous = nullptr;
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

    BOOL EndDialog(INT_PTR result) noexcept { return ::EndDialog(m_window, result); }
    BOOL DestroyWindow() noexcept { return m_window ? ::DestroyWindow(m_window) : FALSE; }
    bool IsModal() const noexcept { return m_modal; }

protected:
    ~CDialogImplT() = default;
    HWND m_window = nullptr;

private:
    static const wchar_t* PropName() noexcept { return L"TolvaneDialogObject"; }

    static INT_PTR CALLBACK StartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        CDialogImplT* self = nullptr;
        if (message == WM_INITDIALOG)
        {
            self = reinterpret_cast<CDialogImplT*>(lParam);
            self->m_window = window;
            ::SetPropW(window, PropName(), self);
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
            handled = false;
        }
        if (message == WM_NCDESTROY)
        {
            ::RemovePropW(window, PropName());
            self->m_window = nullptr;
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

    bool m_modal = false;
};

}  // namespace tdm
