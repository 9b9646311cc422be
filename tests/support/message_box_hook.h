// Records and answers the message boxes a test's thread shows.
//
// While a MessageBoxRecorder lives, a CBT hook on the creating thread catches
// every message box (a "#32770" dialog made only of a text, an optional icon and
// the standard buttons) when it is activated: it reads the box's caption, text,
// icon, buttons and owner, and clicks a button by posting the command, so that
// the modal loop of MessageBox ends and the test goes on. Each box takes the next
// answer queued with AnswerNext; a box nobody expected is recorded as unexpected
// and answered with Cancel, No, OK or its first button, in that order of
// preference, so that no test hangs on it.
#pragma once

#include <windows.h>
#include <deque>
#include <string>
#include <vector>

namespace tdm::test {

// The icon of a box that is none of the four standard ones.
inline constexpr UINT kUnknownIcon = 0xFFFFFFFF;

struct RecordedBox
{
    std::string caption;  // UTF-8
    std::string text;     // UTF-8
    HWND owner = nullptr;
    // MB_ICONERROR, MB_ICONINFORMATION, MB_ICONWARNING, MB_ICONQUESTION, 0 for
    // no icon, or kUnknownIcon.
    UINT icon = 0;
    // Ids of the box's buttons (IDOK, IDYES, ...), in window order.
    std::vector<int> buttons;
    // The button that was clicked.
    int answer = 0;
    // Whether the answer came from AnswerNext (false: the box was unexpected, or
    // its queued answer was not one of its buttons).
    bool expected = false;
};

class MessageBoxRecorder
{
public:
    // Installs the hook on the calling thread; one recorder per thread at a time.
    MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;
    ~MessageBoxRecorder();

    // Queues the button that the next box is answered with.
    void AnswerNext(int button);

    const std::vector<RecordedBox>& Boxes() const { return m_boxes; }
    void Clear();

    // Whether `window` is a message box (what the recorder answers).
    static bool IsMessageBox(HWND window);

private:
    static LRESULT CALLBACK HookProc(int code, WPARAM wParam, LPARAM lParam);
    void OnActivate(HWND window);

    HHOOK m_hook = nullptr;
    std::deque<int> m_answers;
    std::vector<RecordedBox> m_boxes;
    // Boxes already answered: a box is activated again when a window it owns
    // closes, and must be answered once only.
    std::vector<HWND> m_answered;
};

}  // namespace tdm::test
