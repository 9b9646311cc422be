#include "support/dialog_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "support/message_box_hook.h"

namespace tdm::test {

namespace {

thread_local DialogDriver* t_driver = nullptr;

std::string Utf8(const std::wstring& text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(static_cast<size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                          nullptr);
    return result;
}

std::wstring Wide(const std::string& text)
{
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(std::max(size, 0)), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::string TextOf(HWND window)
{
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(window, text.data(), length + 1)));
    return Utf8(text);
}

bool IsDialog(HWND window)
{
    wchar_t name[16] = {};
    ::GetClassNameW(window, name, 16);
    return std::wstring(name) == L"#32770";
}

BOOL CALLBACK Collect(HWND window, LPARAM windows)
{
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

}  // namespace

HWND DialogWindow::Item(int id) const
{
    if (HWND item = ::GetDlgItem(m_window, id))
        return item;
    for (HWND child = ::GetWindow(m_window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
    {
        HWND item = IsDialog(child) ? ::GetDlgItem(child, id) : nullptr;
        if (item)
            return item;
    }
    return nullptr;
}

std::string DialogWindow::Title() const { return TextOf(m_window); }
std::string DialogWindow::Text(int id) const { return TextOf(Item(id)); }
void DialogWindow::SetText(int id, const std::string& text) const { ::SetWindowTextW(Item(id), Wide(text).c_str()); }
bool DialogWindow::Checked(int id) const { return ::SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
bool DialogWindow::Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
bool DialogWindow::Visible(int id) const { return (::GetWindowLongW(Item(id), GWL_STYLE) & WS_VISIBLE) != 0; }

int DialogWindow::FocusId() const
{
    HWND focus = ::GetFocus();
    return focus && ::IsChild(m_window, focus) ? ::GetDlgCtrlID(focus) : 0;
}

void DialogWindow::Click(int id) const
{
    HWND item = Item(id);
    if (item && ::IsWindowEnabled(item))
        ::SendMessageW(item, BM_CLICK, 0, 0);
}

void DialogWindow::Focus(int id) const { ::SetFocus(Item(id)); }

DialogDriver::DialogDriver()
{
    if (t_driver)
    {
        std::fprintf(stderr, "DialogDriver: a second driver on one thread\n");
        std::abort();
    }
    t_driver = this;
    m_timer = ::SetTimer(nullptr, 0, 20, &OnTimer);
}

DialogDriver::~DialogDriver()
{
    ::KillTimer(nullptr, m_timer);
    t_driver = nullptr;
}

void DialogDriver::When(std::string title, Action action)
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
    const auto gone = [](HWND window) { return !::IsWindow(window) || !::IsWindowVisible(window); };
    m_finished.erase(std::remove_if(m_finished.begin(), m_finished.end(), gone), m_finished.end());
    for (HWND window : m_finished)
    {
        ADD_FAILURE() << "the test left \"" << TextOf(window) << "\" open";
        ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    }
    m_finished.clear();
    m_served.erase(std::remove_if(m_served.begin(), m_served.end(), [](HWND w) { return !::IsWindow(w); }),
                   m_served.end());
    std::vector<HWND> windows;
    ::EnumThreadWindows(::GetCurrentThreadId(), &Collect, reinterpret_cast<LPARAM>(&windows));
    for (HWND window : windows)
    {
        if (!IsDialog(window) || !::IsWindowVisible(window) || !::IsWindowEnabled(window) ||
            MessageBoxRecorder::IsMessageBox(window) ||
            std::find(m_served.begin(), m_served.end(), window) != m_served.end())
            continue;
        m_served.push_back(window);
        DialogWindow dialog(window);
        const std::string title = dialog.Title();
        if (m_actions.empty() || title.rfind(m_actions.front().title, 0) != 0)
        {
            ADD_FAILURE() << "unexpected dialog \"" << title << "\"";
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
