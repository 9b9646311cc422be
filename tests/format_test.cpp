// Texts of numbers, time spans and error codes; the error and information boxes.
//
// Suites named ...Locale_<ll>_<CC> run in their own ctest run under that LC_ALL
// (Wine's user locale follows it); see tests/CMakeLists.txt.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "framework/error.h"
#include "framework/unique_any.h"
#include "support/message_box_hook.h"
#include "text/format.h"
#include "text/message_box.h"

using namespace tdm;
using tdm::test::MessageBoxRecorder;

namespace {

std::string WithoutChar(std::string text, char removed)
{
    text.erase(std::remove(text.begin(), text.end(), removed), text.end());
    return text;
}

// Requires the user locale `lcid`, which the ctest run of the suite sets up from
// the suite's name.
template <LCID lcid>
struct LocaleTest : testing::Test
{
    void SetUp() override { ASSERT_EQ(::GetUserDefaultLCID(), lcid) << "run this suite through ctest"; }
};

using FormatLocale_en_US = LocaleTest<0x0409>;
using FormatLocale_de_DE = LocaleTest<0x0407>;

}  // namespace

// --- grouped numbers ------------------------------------------------------------
// Wine groups only the last three digits in these locales ("3;0"), Windows every
// three; exact texts are asserted up to six digits, longer ones by their parts.

TEST_F(FormatLocale_en_US, GroupsIntegersWithoutFraction)
{
    EXPECT_EQ(FormatGroupedInt(-1500), "-1,500");
    const std::string largest = FormatGroupedUInt(4294967295u);
    EXPECT_NE(largest.find(','), std::string::npos) << largest;
    EXPECT_EQ(WithoutChar(largest, ','), "4294967295") << largest;
    const std::string smallest = FormatGroupedInt(std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(WithoutChar(smallest, ','), "-2147483648") << smallest;
    // Text the system cannot format comes back unchanged.
    EXPECT_EQ(FormatGroupedNumber("12ab"), "12ab");
}

// A user whose own decimal separator is the locale's grouping symbol: the text is
// formatted without the user's settings, and must be cut at the locale's own
// decimal separator, not at the last group.
TEST_F(FormatLocale_en_US, CutsAtTheLocaleSeparatorWhateverTheUserChose)
{
    char saved[8] = {};
    ::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, saved, sizeof(saved));
    ASSERT_TRUE(::SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, ","));
    const std::string text = FormatGroupedInt(-123456);
    ::SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, saved);
    EXPECT_EQ(text, "-123,456");
}

// Decimal comma, grouping full stop: the last comma is the decimal one.
TEST_F(FormatLocale_de_DE, CutsAtTheDecimalComma)
{
    EXPECT_EQ(FormatGroupedInt(-1500), "-1.500");
    const std::string largest = FormatGroupedUInt(4294967295u);
    EXPECT_EQ(largest.find(','), std::string::npos) << largest;
    EXPECT_EQ(WithoutChar(largest, '.'), "4294967295") << largest;
}

// --- time spans -----------------------------------------------------------------

TEST(FormatTimeSpanTest, HoursMinutesSecondsRoundedToTheSecond)
{
    constexpr double second = 1.0 / 86400.0;
    const struct { double days; const char* expected; } cases[] = {
        {0.99999, "23:59:59"}, {(27 * 3600 + 5 * 60 + 9) * second, "27:05:09"}, {100.0, "2400:00:00"},
        {second - 0.25 * second, "00:00:01"}, {0.49 * second, "00:00:00"},  // rounding up and down
        {-1.5 / 24.0, "-01:30:00"}, {-30 * 60 * second, "-00:30:00"}, {-(second - 0.25 * second), "-00:00:01"},
        {-0.2 * second, "00:00:00"},  // rounds to zero: no sign
        // Beyond any valid span: shown as the largest one rather than overflowing.
        {std::numeric_limits<double>::infinity(), "86781528:00:00"}, {-1e300, "-86781528:00:00"},
        {std::nan(""), "00:00:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatTimeSpan(c.days), c.expected) << c.days;
}

// --- error texts ----------------------------------------------------------------

namespace {

// The system's message text for `hr` without its line break; empty when the
// system has none.
std::string SystemText(HRESULT hr)
{
    char text[2048] = {};
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(hr),
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof(text), nullptr);
    const std::string system = text;
    return system.substr(0, system.find_last_not_of("\r\n") + 1);
}

}  // namespace

// The system's text without its line break where the system has one, else the
// fallback. Which codes have a text differs: Windows has texts for the event
// system's codes 0x80040201 and 0x80040205, Wine 8 has none for them, so under
// Wine those rows check the fallbacks; neither has one for 0x80040200 or
// 0x8004FFFF. A text with an insert (ERROR_BAD_EXE_FORMAT's "%1", on both) has
// no argument to fill it, so the insert stays.
TEST(ComErrorTextTest, SystemTextElseFallback)
{
    // `fallback` null: the system has a text on every system.
    const struct { HRESULT hr; const char* fallback; } cases[] = {
        {static_cast<HRESULT>(0x80040201), "IDispatch error #1"},
        {static_cast<HRESULT>(0x8004FFFF), "IDispatch error #65023"},
        {static_cast<HRESULT>(0x80040200), "Unknown error 0x80040200"},
        {E_FAIL, nullptr},
        {HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT), nullptr},
    };
    for (const auto& c : cases)
    {
        const std::string system = SystemText(c.hr);
        ASSERT_TRUE(c.fallback || !system.empty()) << std::hex << c.hr;
        EXPECT_EQ(ComErrorText(c.hr), system.empty() ? c.fallback : system) << std::hex << c.hr;
    }
}

// --- message boxes --------------------------------------------------------------

namespace {

// A top-level window with an edit control that has the keyboard focus, and a
// button it could pass to.
struct FocusedWindow
{
    FocusedWindow()
    {
        ::SetForegroundWindow(frame.get());
        ::SetFocus(edit);
    }
    unique_hwnd frame{::CreateWindowExA(0, "STATIC", "frame", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200,
                                        nullptr, nullptr, nullptr, nullptr)};
    HWND edit = ::CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 5, 5, 100, 20, frame.get(),
                                  reinterpret_cast<HMENU>(100), nullptr, nullptr);
    HWND button = ::CreateWindowExA(0, "BUTTON", "Go", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 5, 40, 100, 20,
                                    frame.get(), reinterpret_cast<HMENU>(101), nullptr, nullptr);
};

// A failed call of IDispatch (0x80040205) with error information of
// `description`, or none for null.
CComError ErrorWith(const wchar_t* description)
{
    com_ptr<IErrorInfo> info;
    com_ptr<ICreateErrorInfo> create;
    if (description && SUCCEEDED(::CreateErrorInfo(create.put())) &&
        SUCCEEDED(create->SetDescription(const_cast<LPOLESTR>(description))))
        info = create.try_query<IErrorInfo>();
    return CComError(static_cast<HRESULT>(0x80040205), IID_IDispatch, info);
}

}  // namespace

// Every box is captioned with the product name, has an OK button, is owned by the
// given window, and gives the focus back. A COM error's box is owned by the
// foreground window of this program (another program's window never owns it,
// or the box would disable it): under Wine the test's new frame takes the foreground, on
// Windows the foreground lock may keep it elsewhere, so the owner is compared
// with whatever window is in the foreground. Without a description a COM error
// shows its code's text: a system text on Windows, "IDispatch error #5" under Wine 8.
TEST(MessageBoxTest, ErrorInfoAndComErrorBoxes)
{
    const std::string codeText = ComErrorText(static_cast<HRESULT>(0x80040205));
    const struct { const char* name; void (*show)(HWND frame); std::string text; UINT icon; bool byForeground = false; }
        cases[] = {
        {"error", [](HWND f) { ShowErrorBox("The download could not start.", f); }, "The download could not start.",
         MB_ICONERROR},
        {"info", [](HWND f) { ShowInfoBox("The download could not start.", f); }, "The download could not start.",
         MB_ICONINFORMATION},
        {"COM error with a description", [](HWND) { ShowComError(ErrorWith(L"The engine refused the address.")); },
         "The engine refused the address.", MB_ICONERROR, true},
        {"COM error with an empty description", [](HWND) { ShowComError(ErrorWith(L"")); }, codeText, MB_ICONERROR,
         true},
        {"COM error without error information", [](HWND) { ShowComError(ErrorWith(nullptr)); }, codeText,
         MB_ICONERROR, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        FocusedWindow window;
        // The foreground window, when it is one of this program's.
        HWND foreground = ::GetForegroundWindow();
        DWORD process = 0;
        if (::GetWindowThreadProcessId(foreground, &process) && process != ::GetCurrentProcessId())
            foreground = nullptr;
        MessageBoxRecorder recorder;
        recorder.AnswerNext(IDOK);
        c.show(window.frame.get());

        ASSERT_EQ(recorder.Boxes().size(), 1u);
        const auto& box = recorder.Boxes()[0];
        EXPECT_EQ(std::make_tuple(box.caption, box.text, box.icon, box.owner, box.buttons, box.expected),
                  std::make_tuple(std::string("Tolvane Download Manager"), c.text, c.icon,
                                  c.byForeground ? foreground : window.frame.get(), std::vector<int>{IDOK}, true));
        EXPECT_EQ(::GetFocus(), window.edit) << "focus on " << ::GetFocus();
    }

    // A question with a caption of its own and no owner answers the button pressed.
    MessageBoxRecorder recorder;
    recorder.AnswerNext(IDYES);
    EXPECT_EQ(ShowMessageBox("Replace the file?", nullptr, MB_YESNO | MB_ICONQUESTION, "Replace"), IDYES);
    ASSERT_EQ(recorder.Boxes().size(), 1u);
    const auto& box = recorder.Boxes()[0];
    EXPECT_EQ(std::make_tuple(box.caption, box.text, box.icon, box.owner, box.buttons, box.expected),
              std::make_tuple(std::string("Replace"), std::string("Replace the file?"), UINT{MB_ICONQUESTION},
                              HWND{}, std::vector<int>{IDYES, IDNO}, true));
}

// --- fitting a check box to its text ---------------------------------------------

TEST(FitWidthToTextTest, WidthIsTextInOwnFontPlusTwenty)
{
    unique_hwnd parent(::CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 600, 300, nullptr, nullptr,
                                         nullptr, nullptr));
    // A font far from the system font, so that measuring in the wrong one shows.
    unique_hfont font(::CreateFontA(-30, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Arial"));
    ASSERT_TRUE(parent && font);
    constexpr char text[] = "Enable &Notifications";
    const auto measured = [&](HFONT f) {
        unique_hdc dc(::CreateCompatibleDC(nullptr));
        select_object selected(dc.get(), f);
        RECT bounds = {};
        ::DrawTextA(dc.get(), text, -1, &bounds, DT_CALCRECT);
        return bounds.right - bounds.left + 20;
    };
    const int expected = measured(font.get());
    ASSERT_NE(expected, measured(static_cast<HFONT>(::GetStockObject(SYSTEM_FONT))));

    // The last check box has no font of its own.
    const struct { const char* text; bool withFont; int width; } cases[] = {
        {text, true, expected}, {"", true, 20}, {text, false, 20}};
    for (const auto& c : cases)
    {
        unique_hwnd check(::CreateWindowExA(0, "BUTTON", c.text, WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, 15, 25,
                                            50, 17, parent.get(), nullptr, nullptr, nullptr));
        if (c.withFont)
            ::SendMessageA(check.get(), WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
        FitWidthToText(check.get());
        RECT rect = {};
        ::GetWindowRect(check.get(), &rect);
        ::MapWindowPoints(HWND_DESKTOP, parent.get(), reinterpret_cast<POINT*>(&rect), 2);
        EXPECT_EQ(std::make_tuple(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top),
                  std::make_tuple(15L, 25L, LONG{c.width}, 17L)) << c.text;
    }
}
