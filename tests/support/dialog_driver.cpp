#include "support/dialog_driver.h"

#include <gtest/gtest.h>

#include <utility>

#include "support/message_box_hook.h"

namespace tdm::test {

namespace {

thread_local DialogDriver* t_driver = nullptr;

bool IsDialog(HWND window)
{
    wchar_t name[16] = {};
    return ::GetClassNameW(window, name, 16) && std::wstring(name) == L"#32770";
}

// Marks a dialog the driver has seen.
constexpr wchar_t kServed[] = L"TestDialogDriverServed";

}  // namespace

std::wstring DialogWindow::TextOf(HWND window)
{
    std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

HWND DialogWindow::Item(int id) const
{
    HWND item = ::GetDlgItem(m_window, id);
    for (HWND child = ::GetWindow(m_window, GW_CHILD); child && !item; child = ::GetWindow(child, GW_HWNDNEXT))
        item = IsDialog(child) ? ::GetDlgItem(child, id) : nullptr;
    return item;
}

DialogDriver::DialogDriver() : m_timer(::SetTimer(nullptr, 0, 20, &OnTimer))
{
    t_driver = this;
}

DialogDriver::~DialogDriver()
{
    ::KillTimer(nullptr, m_timer);
    t_driver = nullptr;
}

void DialogDriver::When(std::wstring title, Action action)
{
    m_actions.push_back({std::move(title), std::move(action)});
}

void CALLBACK DialogDriver::OnTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (t_driver)
        t_driver->Serve();
}

// Runs inside the modal loop of the front-most dialog; an action's clicks open
// nested loops, in which the timer serves the dialogs they show. A dialog an
// action has finished with must be gone by the next tick (a property sheet
// closes only when its loop sees that it ended).
void DialogDriver::Serve()
{
    for (HWND window : std::exchange(m_finished, {}))
    {
        if (::IsWindow(window) && ::IsWindowVisible(window))
        {
            ADD_FAILURE() << "the test left \"" << DialogWindow::TextOf(window) << "\" open";
            ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        }
    }
    for (HWND window = ::GetTopWindow(nullptr); window; window = ::GetWindow(window, GW_HWNDNEXT))
    {
        if (::GetWindowThreadProcessId(window, nullptr) != ::GetCurrentThreadId() || !IsDialog(window) ||
            !::IsWindowVisible(window) || !::IsWindowEnabled(window) || MessageBoxRecorder::IsMessageBox(window) ||
            ::GetPropW(window, kServed))
            continue;
        ::SetPropW(window, kServed, window);
        DialogWindow dialog(window);
        if (m_actions.empty() || dialog.Title().rfind(m_actions.front().title, 0) != 0)
        {
            ADD_FAILURE() << "unexpected dialog \"" << dialog.Title() << "\"";
            ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
            return;
        }
        const Action action = std::move(m_actions.front().action);
        m_actions.pop_front();
        action(dialog);
        m_finished.push_back(window);
        return;
    }
}

}  // namespace tdm::test
