// The test support that records and answers message boxes.
#include <windows.h>
#include <gtest/gtest.h>

#include "framework/unique_any.h"
#include "support/message_box_hook.h"

using tdm::unique_hwnd;
using tdm::test::MessageBoxRecorder;

TEST(MessageBoxRecorderTest, AnswersWithEachButton)
{
    const struct
    {
        UINT type;
        int answer;
        std::vector<int> buttons;
    } cases[] = {
        {MB_OK, IDOK, {IDOK}},
        {MB_OKCANCEL, IDOK, {IDOK, IDCANCEL}},
        {MB_OKCANCEL, IDCANCEL, {IDOK, IDCANCEL}},
        {MB_YESNO, IDYES, {IDYES, IDNO}},
        {MB_YESNO, IDNO, {IDYES, IDNO}},
        {MB_YESNOCANCEL, IDCANCEL, {IDYES, IDNO, IDCANCEL}},
        {MB_RETRYCANCEL, IDRETRY, {IDRETRY, IDCANCEL}},
        {MB_ABORTRETRYIGNORE, IDIGNORE, {IDABORT, IDRETRY, IDIGNORE}},
    };
    for (const auto& c : cases)
    {
        MessageBoxRecorder recorder;
        recorder.AnswerNext(c.answer);
        EXPECT_EQ(::MessageBoxA(nullptr, "Question?", "Caption", c.type), c.answer) << c.type;
        ASSERT_EQ(recorder.Boxes().size(), 1u);
        const auto& box = recorder.Boxes()[0];
        EXPECT_EQ(box.answer, c.answer);
        EXPECT_TRUE(box.expected);
        EXPECT_EQ(box.buttons, c.buttons) << c.type;
        EXPECT_EQ(recorder.PendingAnswers(), 0u);
    }
}

TEST(MessageBoxRecorderTest, ReadsTextCaptionIconAndOwner)
{
    unique_hwnd owner(::CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                        nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(owner);
    const UINT icons[] = {MB_ICONERROR, MB_ICONINFORMATION, MB_ICONWARNING, MB_ICONQUESTION, 0};
    for (UINT icon : icons)
    {
        MessageBoxRecorder recorder;
        ::MessageBoxA(owner.get(), "Line one\nLine two", "A caption", MB_OK | icon);
        ASSERT_EQ(recorder.Boxes().size(), 1u);
        const auto& box = recorder.Boxes()[0];
        EXPECT_EQ(box.icon, icon);
        EXPECT_EQ(box.text, "Line one\nLine two");
        EXPECT_EQ(box.caption, "A caption");
        EXPECT_EQ(box.owner, owner.get());
    }
    MessageBoxRecorder recorder;
    ::MessageBoxA(nullptr, "x", "y", MB_OK);
    ASSERT_EQ(recorder.Boxes().size(), 1u);
    EXPECT_EQ(recorder.Boxes()[0].owner, nullptr);
}

// Boxes nobody expected are answered so that no test hangs, and are recorded.
TEST(MessageBoxRecorderTest, UnexpectedBoxesAreDeclined)
{
    const struct
    {
        UINT type;
        int answer;
    } cases[] = {
        {MB_OK, IDOK},
        {MB_OKCANCEL, IDCANCEL},
        {MB_YESNO, IDNO},
        {MB_YESNOCANCEL, IDCANCEL},
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
}

TEST(MessageBoxRecorderTest, AnswersQueuedForSeveralBoxesInOrder)
{
    MessageBoxRecorder recorder;
    recorder.AnswerNext(IDNO);
    recorder.AnswerNext(IDYES);
    EXPECT_EQ(::MessageBoxA(nullptr, "first", "c", MB_YESNO), IDNO);
    EXPECT_EQ(::MessageBoxA(nullptr, "second", "c", MB_YESNO), IDYES);
    ASSERT_EQ(recorder.Boxes().size(), 2u);
    EXPECT_EQ(recorder.Boxes()[0].text, "first");
    EXPECT_EQ(recorder.Boxes()[1].text, "second");
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
