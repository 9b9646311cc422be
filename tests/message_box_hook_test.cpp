// The test support that records and answers message boxes.
#include <windows.h>
#include <gtest/gtest.h>

#include "framework/unique_any.h"
#include "support/message_box_hook.h"

using tdm::unique_hwnd;
using tdm::test::MessageBoxRecorder;

// The queued answer is clicked, and the box's text, caption, icon, buttons and
// owner are read.
TEST(MessageBoxRecorderTest, AnswersWithEachButtonAndReadsTheBox)
{
    unique_hwnd owner(::CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                        nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(owner);
    const struct
    {
        UINT type;
        UINT icon;
        int answer;
        std::vector<int> buttons;
        HWND owner;
    } cases[] = {
        {MB_OK, MB_ICONERROR, IDOK, {IDOK}, owner.get()},
        {MB_OKCANCEL, MB_ICONINFORMATION, IDOK, {IDOK, IDCANCEL}, owner.get()},
        {MB_YESNO, MB_ICONWARNING, IDYES, {IDYES, IDNO}, owner.get()},
        {MB_YESNOCANCEL, MB_ICONQUESTION, IDNO, {IDYES, IDNO, IDCANCEL}, owner.get()},
        {MB_RETRYCANCEL, 0, IDRETRY, {IDRETRY, IDCANCEL}, nullptr},
        {MB_ABORTRETRYIGNORE, 0, IDIGNORE, {IDABORT, IDRETRY, IDIGNORE}, owner.get()},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.type);
        MessageBoxRecorder recorder;
        recorder.AnswerNext(c.answer);
        EXPECT_EQ(::MessageBoxA(c.owner, "Line one\nLine two", "A caption", c.type | c.icon), c.answer);
        ASSERT_EQ(recorder.Boxes().size(), 1u);
        const auto& box = recorder.Boxes()[0];
        EXPECT_EQ(box.answer, c.answer);
        EXPECT_TRUE(box.expected);
        EXPECT_EQ(box.buttons, c.buttons);
        EXPECT_EQ(box.icon, c.icon);
        EXPECT_EQ(box.text, "Line one\nLine two");
        EXPECT_EQ(box.caption, "A caption");
        EXPECT_EQ(box.owner, c.owner);
        EXPECT_EQ(recorder.PendingAnswers(), 0u);
    }
}

// Boxes nobody expected are answered so that no test hangs, and are recorded;
// expected ones take the queued answers in order.
TEST(MessageBoxRecorderTest, UnexpectedBoxesAreDeclinedAndAnswersQueueInOrder)
{
    const struct
    {
        UINT type;
        int answer;
    } cases[] = {
        {MB_OK, IDOK}, {MB_OKCANCEL, IDCANCEL}, {MB_YESNO, IDNO}, {MB_YESNOCANCEL, IDCANCEL},
        {MB_ABORTRETRYIGNORE, IDABORT},
    };
    MessageBoxRecorder recorder;
    for (const auto& c : cases)
        EXPECT_EQ(::MessageBoxA(nullptr, "Unexpected", "Caption", c.type), c.answer) << c.type;
    ASSERT_EQ(recorder.Boxes().size(), std::size(cases));
    for (const auto& box : recorder.Boxes())
        EXPECT_FALSE(box.expected);

    // A queued answer that is not one of the box's buttons is used up, and the
    // box is declined instead.
    recorder.Clear();
    recorder.AnswerNext(IDYES);
    EXPECT_EQ(::MessageBoxA(nullptr, "Only OK", "Caption", MB_OK), IDOK);
    ASSERT_EQ(recorder.Boxes().size(), 1u);
    EXPECT_FALSE(recorder.Boxes()[0].expected);
    EXPECT_EQ(recorder.PendingAnswers(), 0u);

    recorder.AnswerNext(IDNO);
    recorder.AnswerNext(IDYES);
    EXPECT_EQ(::MessageBoxA(nullptr, "first", "c", MB_YESNO), IDNO);
    EXPECT_EQ(::MessageBoxA(nullptr, "second", "c", MB_YESNO), IDYES);
}

// A dialog with other controls than statics and the standard buttons is not a
// message box, even with an unnamed static.
TEST(MessageBoxRecorderTest, OtherDialogsAreNotMessageBoxes)
{
    unique_hwnd dialog(::CreateWindowExA(0, "#32770", "dialog", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr,
                                         nullptr, nullptr));
    ASSERT_TRUE(dialog);
    ::CreateWindowExA(0, "STATIC", "label", WS_CHILD, 0, 0, 50, 10, dialog.get(), reinterpret_cast<HMENU>(0xFFFF),
                      nullptr, nullptr);
    ::CreateWindowExA(0, "BUTTON", "OK", WS_CHILD, 0, 20, 50, 10, dialog.get(), reinterpret_cast<HMENU>(IDOK),
                      nullptr, nullptr);
    EXPECT_TRUE(MessageBoxRecorder::IsMessageBox(dialog.get()));
    ::CreateWindowExA(0, "EDIT", "", WS_CHILD, 0, 40, 50, 10, dialog.get(), reinterpret_cast<HMENU>(1000), nullptr,
                      nullptr);
    EXPECT_FALSE(MessageBoxRecorder::IsMessageBox(dialog.get()));
}
