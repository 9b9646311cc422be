#include "support/message_box_hook.h"

#include "framework/automation.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tdm::test {

namespace {

thread_local MessageBoxRecorder* t_recorder = nullptr;

bool IsButtonId(int id) { return id >= IDOK && id <= IDCONTINUE; }

std::string ClassOf(HWND window)
{
    char name[64] = {};
    ::GetClassNameA(window, name, static_cast<int>(sizeof(name)));
    return name;
}

// In UTF-8, whatever the ANSI code page: a box shows any character.
std::string TextOf(HWND window)
{
    const int length = ::GetWindowTextLengthW(window);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(window, text.data(), length + 1)));
    return Utf8FromWide(text);
}

// The standard icon shown by the box: the icon static's handle compared with the
// shared system icons that MessageBox loads.
UINT IconOf(HWND box)
{
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
    {
        const LONG style = ::GetWindowLongA(child, GWL_STYLE);
        if (ClassOf(child) != "Static" || (style & SS_TYPEMASK) != SS_ICON)
            continue;
        const auto icon = reinterpret_cast<HICON>(::SendMessageA(child, STM_GETICON, 0, 0));
        if (!icon)
            continue;
        const struct
        {
            LPCTSTR id;
            UINT type;
        } standard[] = {
            {IDI_HAND, MB_ICONERROR},
            {IDI_ASTERISK, MB_ICONINFORMATION},
            {IDI_EXCLAMATION, MB_ICONWARNING},
            {IDI_QUESTION, MB_ICONQUESTION},
        };
        for (const auto& entry : standard)
        {
            if (::LoadIcon(nullptr, entry.id) == icon)
                return entry.type;
        }
        return kUnknownIcon;
    }
    return 0;
}

int DefaultAnswer(const std::vector<int>& buttons)
{
    for (int preferred : {IDCANCEL, IDNO, IDOK})
    {
        if (std::find(buttons.begin(), buttons.end(), preferred) != buttons.end())
            return preferred;
    }
    return buttons.empty() ? IDCANCEL : buttons.front();
}

}  // namespace

bool MessageBoxRecorder::IsMessageBox(HWND window)
{
    if (ClassOf(window) != "#32770")
        return false;
    HWND text = ::GetDlgItem(window, 0xFFFF);
    if (!text || ClassOf(text) != "Static")
        return false;
    // A dialog of the product may have an unnamed static as well; a message box
    // holds nothing but statics and the standard buttons.
    for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
    {
        const std::string kind = ClassOf(child);
        if (kind == "Static")
            continue;
        if (kind != "Button" || !IsButtonId(::GetDlgCtrlID(child)))
            return false;
    }
    return true;
}


void MessageBoxRecorder::Clear()
{
    m_boxes.clear();
}

MessageBoxRecorder::MessageBoxRecorder()
{
    if (t_recorder)
    {
        std::fprintf(stderr, "MessageBoxRecorder: a second recorder on one thread\n");
        std::abort();
    }
    m_hook = ::SetWindowsHookExW(WH_CBT, &HookProc, nullptr, ::GetCurrentThreadId());
    if (!m_hook)
    {
        std::fprintf(stderr, "MessageBoxRecorder: SetWindowsHookEx failed, error %lu\n", ::GetLastError());
        std::abort();
    }
    t_recorder = this;
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    ::UnhookWindowsHookEx(m_hook);
    t_recorder = nullptr;
}

void MessageBoxRecorder::AnswerNext(int button) { m_answers.push_back(button); }

LRESULT CALLBACK MessageBoxRecorder::HookProc(int code, WPARAM wParam, LPARAM lParam)
{
    // Called from inside user32: nothing may be thrown through it.
    try
    {
        HWND window = reinterpret_cast<HWND>(wParam);
        if (t_recorder && code == HCBT_ACTIVATE)
            t_recorder->OnActivate(window);
        else if (t_recorder && code == HCBT_DESTROYWND)
        {
            auto& answered = t_recorder->m_answered;
            answered.erase(std::remove(answered.begin(), answered.end(), window), answered.end());
        }
    }
    catch (...)
    {
        std::fprintf(stderr, "MessageBoxRecorder: out of memory while recording a box\n");
        std::abort();
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

void MessageBoxRecorder::OnActivate(HWND window)
{
    if (std::find(m_answered.begin(), m_answered.end(), window) != m_answered.end() || !IsMessageBox(window))
        return;

    RecordedBox box;
    box.caption = TextOf(window);
    box.text = TextOf(::GetDlgItem(window, 0xFFFF));
    box.owner = ::GetWindow(window, GW_OWNER);
    box.icon = IconOf(window);
    for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
    {
        // Some systems keep the unused buttons hidden rather than destroying them.
        const int id = ::GetDlgCtrlID(child);
        if (ClassOf(child) == "Button" && IsButtonId(id) && (::GetWindowLongA(child, GWL_STYLE) & WS_VISIBLE))
            box.buttons.push_back(id);
    }

    box.answer = DefaultAnswer(box.buttons);
    if (!m_answers.empty())
    {
        const int wanted = m_answers.front();
        m_answers.pop_front();
        if (std::find(box.buttons.begin(), box.buttons.end(), wanted) != box.buttons.end())
        {
            box.answer = wanted;
            box.expected = true;
        }
    }

    // The box's modal loop has not started yet; the posted click waits for it.
    ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(box.answer, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(window, box.answer)));
    m_answered.push_back(window);
    m_boxes.push_back(std::move(box));
}

}  // namespace tdm::test
