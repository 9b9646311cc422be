// Drives the modal dialogs a test's thread shows, from inside their modal loops.
//
// The test queues one action per dialog it expects, in the order the dialogs
// appear, then runs the code that shows them. A thread timer, dispatched by
// whatever modal loop runs, looks for a shown and enabled dialog of the thread
// and hands it to the next action whose title it starts with; a dialog opened
// from inside an action (the proxy dialog from the properties dialog, the
// save-file dialog) is handed to the next action the same way. A dialog nobody
// expected, or one an action left open, is cancelled and reported as a test
// failure, so that no test hangs. Message boxes are left to MessageBoxRecorder.
#pragma once

#include <windows.h>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace tdm::test {

// A dialog as a user sees it.
class DialogWindow
{
public:
    explicit DialogWindow(HWND window) : m_window(window) {}

    HWND Handle() const { return m_window; }
    // Control `id` of the dialog, or of a dialog inside it (a property page).
    HWND Item(int id) const;
    std::wstring Title() const { return TextOf(m_window); }
    std::wstring Text(int id) const { return TextOf(Item(id)); }
    void SetText(int id, const std::wstring& text) const { ::SetWindowTextW(Item(id), text.c_str()); }
    bool Checked(int id) const { return ::SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
    bool Visible(int id) const { return (::GetWindowLongW(Item(id), GWL_STYLE) & WS_VISIBLE) != 0; }
    // The id of the control with the keyboard focus (0: none).
    int FocusId() const { return ::IsChild(m_window, ::GetFocus()) ? ::GetDlgCtrlID(::GetFocus()) : 0; }
    // A click as the mouse makes it: nothing happens on a disabled control.
    void Click(int id) const { if (::IsWindowEnabled(Item(id))) ::SendMessageW(Item(id), BM_CLICK, 0, 0); }
    // Moves the keyboard focus to control `id` (the control that had it loses it).
    void Focus(int id) const { ::SetFocus(Item(id)); }

    static std::wstring TextOf(HWND window);

private:
    HWND m_window;
};

class DialogDriver
{
public:
    using Action = std::function<void(DialogWindow&)>;

    // One driver per thread at a time.
    DialogDriver();
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;
    ~DialogDriver();

    // The next dialog whose title begins with `title` runs `action`.
    void When(std::wstring title, Action action);
    // Actions whose dialog has not appeared.
    size_t Pending() const { return m_actions.size(); }

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    void Serve();

    struct Expected
    {
        std::wstring title;
        Action action;
    };
    std::deque<Expected> m_actions;
    std::vector<HWND> m_finished;
    UINT_PTR m_timer = 0;
};

}  // namespace tdm::test
