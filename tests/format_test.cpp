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

// Requires the user locale that the ctest run of this suite sets up.
class LocaleTest : public testing::Test
{
protected:
    static void ExpectLocale(LCID lcid, const char* lcAll)
    {
        ASSERT_EQ(::GetUserDefaultLCID(), lcid) << std::hex << "user locale 0x" << ::GetUserDefaultLCID()
                                                << "; run this suite with LC_ALL=" << lcAll;
    }
};

class FormatLocale_en_US : public LocaleTest
{
protected:
    void SetUp() override { ExpectLocale(0x0409, "en_US.UTF-8"); }
};

class FormatLocale_de_DE : public LocaleTest
{
protected:
    void SetUp() override { ExpectLocale(0x0407, "de_DE.UTF-8"); }
};

class FormatLocale_ru_RU : public LocaleTest
{
protected:
    void SetUp() override { ExpectLocale(0x0419, "ru_RU.UTF-8"); }
};

// Sets the user's own decimal separator for the test and restores it after.
class DecimalSeparatorOverride
{
public:
    explicit DecimalSeparatorOverride(const char* separator)
    {
        ::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, m_saved, sizeof(m_saved));
        m_set = ::SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator) != FALSE;
    }
    ~DecimalSeparatorOverride()
    {
        if (m_set)
            ::SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, m_saved);
    }
    bool Set() const { return m_set; }

private:
    char m_saved[8] = {};
    bool m_set = false;
};

}  // namespace

// --- grouped numbers ------------------------------------------------------------
// Wine groups only the last three digits in these locales ("3;0"), Windows every
// three; exact texts are asserted up to six digits, longer ones by their parts.

TEST_F(FormatLocale_en_US, GroupsIntegersWithoutFraction)
{
    const struct
    {
        std::int32_t value;
        const char* expected;
    } cases[] = {
        {-1500, "-1,500"}, {0, "0"}, {-1, "-1"}, {999, "999"}, {1000, "1,000"}, {123456, "123,456"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatGroupedInt(c.value), c.expected) << c.value;

    EXPECT_EQ(FormatGroupedUInt(1500u), "1,500");
    const std::string largest = FormatGroupedUInt(4294967295u);
    EXPECT_NE(largest.find(','), std::string::npos) << largest;
    EXPECT_EQ(WithoutChar(largest, ','), "4294967295") << largest;
    const std::string smallest = FormatGroupedInt(std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(WithoutChar(smallest, ','), "-2147483648") << smallest;
}

TEST_F(FormatLocale_en_US, TextTheSystemCannotFormatComesBackUnchanged)
{
    EXPECT_EQ(FormatGroupedNumber("12ab"), "12ab");
    EXPECT_EQ(FormatGroupedNumber("1 500"), "1 500");
}

// A user whose own decimal separator is the locale's grouping symbol: the text is
// formatted without the user's settings, and must be cut at the locale's own
// decimal separator, not at the last group.
TEST_F(FormatLocale_en_US, CutsAtTheLocaleSeparatorWhateverTheUserChose)
{
    DecimalSeparatorOverride user(",");
    ASSERT_TRUE(user.Set());
    EXPECT_EQ(FormatGroupedUInt(1500u), "1,500");
    EXPECT_EQ(FormatGroupedInt(-123456), "-123,456");
}

// Decimal comma, grouping full stop: the last comma is the decimal one.
TEST_F(FormatLocale_de_DE, CutsAtTheDecimalComma)
{
    const struct
    {
        std::int32_t value;
        const char* expected;
    } cases[] = {{-1500, "-1.500"}, {0, "0"}, {999, "999"}, {123456, "123.456"}};
    for (const auto& c : cases)
        EXPECT_EQ(FormatGroupedInt(c.value), c.expected) << c.value;

    const std::string largest = FormatGroupedUInt(4294967295u);
    EXPECT_EQ(largest.find(','), std::string::npos) << largest;
    EXPECT_NE(largest.find('.'), std::string::npos) << largest;
    EXPECT_EQ(WithoutChar(largest, '.'), "4294967295") << largest;
}

// Grouping by a no-break space (0xA0 in code page 1251), decimal comma.
TEST_F(FormatLocale_ru_RU, GroupsWithNoBreakSpace)
{
    EXPECT_EQ(FormatGroupedInt(-1500), "-1\xA0" "500");
    const std::string largest = FormatGroupedUInt(4294967295u);
    EXPECT_EQ(largest.find(','), std::string::npos) << largest;
    EXPECT_EQ(WithoutChar(largest, '\xA0'), "4294967295") << largest;
}

// --- time spans -----------------------------------------------------------------

TEST(FormatTimeSpanTest, HoursMinutesSecondsRoundedToTheSecond)
{
    constexpr double second = 1.0 / 86400.0;
    const struct
    {
        double days;
        const char* expected;
    } cases[] = {
        {0.0, "00:00:00"},
        {0.99999, "23:59:59"},
        {1.5, "36:00:00"},
        {second - 0.25 * second, "00:00:01"},  // rounds up
        {0.49 * second, "00:00:00"},           // rounds down
        {(27 * 3600 + 5 * 60 + 9) * second, "27:05:09"},
        {100.0, "2400:00:00"},
        {-1.5, "-36:00:00"},
        {-1.5 / 24.0, "-01:30:00"},
        {-30 * 60 * second, "-00:30:00"},
        {-(second - 0.25 * second), "-00:00:01"},
        {-0.2 * second, "00:00:00"},  // rounds to zero: no sign
        {3615897.0, "86781528:00:00"},
        // Beyond any valid span: shown as the largest one rather than overflowing.
        {std::numeric_limits<double>::infinity(), "86781528:00:00"},
        {-1e300, "-86781528:00:00"},
        {std::nan(""), "00:00:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatTimeSpan(c.days), c.expected) << c.days;
}

// --- error texts ----------------------------------------------------------------

// Codes for which the system has no text (checked under Wine 8) get the fallbacks.
TEST(ComErrorTextTest, FallbacksForCodesWithoutSystemText)
{
    const struct
    {
        HRESULT hr;
        const char* expected;
    } cases[] = {
        {static_cast<HRESULT>(0x80040205), "IDispatch error #5"},
        {static_cast<HRESULT>(0x80040201), "IDispatch error #1"},
        {static_cast<HRESULT>(0x8004FFFF), "IDispatch error #65023"},
        {static_cast<HRESULT>(0x80040200), "Unknown error 0x80040200"},
        {static_cast<HRESULT>(0x80020009), "Unknown error 0x80020009"},
    };
    for (const auto& c : cases)
    {
        const std::string text = ComErrorText(c.hr);
        EXPECT_EQ(text, c.expected) << std::hex << c.hr;
        EXPECT_LE(text.size(), 31u) << text;
    }
}

TEST(ComErrorTextTest, SystemTextWithoutLineBreak)
{
    for (HRESULT hr : {E_ACCESSDENIED, E_OUTOFMEMORY, E_INVALIDARG, E_FAIL})
    {
        const std::string text = ComErrorText(hr);
        ASSERT_FALSE(text.empty()) << std::hex << hr;
        EXPECT_NE(text.back(), '\n') << text;
        EXPECT_NE(text.back(), '\r') << text;
        EXPECT_EQ(text.rfind("Unknown error", 0), std::string::npos) << text;
    }
}

// A system text with an insert has no argument to fill it: the insert stays.
TEST(ComErrorTextTest, SystemTextWithInsertIsKeptAsIs)
{
    const std::string text = ComErrorText(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT));
    EXPECT_NE(text.find("%1"), std::string::npos) << text;
}

// --- message boxes --------------------------------------------------------------

namespace {

// A top-level window with an edit control that has the keyboard focus.
class FocusedWindow
{
public:
    FocusedWindow()
    {
        m_frame.reset(::CreateWindowExA(0, "STATIC", "frame", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200,
                                        nullptr, nullptr, nullptr, nullptr));
        m_edit = ::CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 5, 5, 100, 20,
                                   m_frame.get(), reinterpret_cast<HMENU>(100), nullptr, nullptr);
        m_button = ::CreateWindowExA(0, "BUTTON", "Go", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 5, 40, 100, 20,
                                     m_frame.get(), reinterpret_cast<HMENU>(101), nullptr, nullptr);
        ::SetForegroundWindow(m_frame.get());
        ::SetFocus(m_edit);
    }
    HWND Frame() const { return m_frame.get(); }
    HWND Edit() const { return m_edit; }

private:
    unique_hwnd m_frame;
    HWND m_edit = nullptr;
    HWND m_button = nullptr;
};

constexpr char kProductName[] = "Tolvane Download Manager";

}  // namespace

TEST(MessageBoxTest, ErrorAndInfoBoxesCaptionIconOwnerAndFocusBack)
{
    const struct
    {
        void (*show)(const std::string&, HWND);
        UINT icon;
    } cases[] = {{&ShowErrorBox, MB_ICONERROR}, {&ShowInfoBox, MB_ICONINFORMATION}};
    for (const auto& c : cases)
    {
        FocusedWindow window;
        ASSERT_TRUE(window.Edit());
        ASSERT_EQ(::GetFocus(), window.Edit());
        MessageBoxRecorder recorder;
        recorder.AnswerNext(IDOK);
        c.show("The download could not start.", window.Frame());

        ASSERT_EQ(recorder.Boxes().size(), 1u);
        const auto& box = recorder.Boxes()[0];
        EXPECT_EQ(box.caption, kProductName);
        EXPECT_EQ(box.text, "The download could not start.");
        EXPECT_EQ(box.icon, c.icon);
        EXPECT_EQ(box.owner, window.Frame());
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_TRUE(box.expected);
        EXPECT_EQ(::GetFocus(), window.Edit()) << "focus on " << ::GetFocus();
    }
}

namespace {

com_ptr<IErrorInfo> MakeErrorInfo(const wchar_t* description)
{
    com_ptr<ICreateErrorInfo> create;
    if (FAILED(::CreateErrorInfo(create.put())))
        return {};
    create->SetDescription(const_cast<LPOLESTR>(description));
    return create.try_query<IErrorInfo>();
}

}  // namespace

TEST(MessageBoxTest, ComErrorShowsDescriptionOrCodeText)
{
    const struct
    {
        const wchar_t* description;  // null: no error information
        const char* expected;
    } cases[] = {
        {L"The engine refused the address.", "The engine refused the address."},
        {L"", "IDispatch error #5"},
        {nullptr, "IDispatch error #5"},
    };
    for (const auto& c : cases)
    {
        FocusedWindow window;
        ASSERT_EQ(::GetForegroundWindow(), window.Frame());
        com_ptr<IErrorInfo> info;
        if (c.description)
        {
            info = MakeErrorInfo(c.description);
            ASSERT_TRUE(info);
        }
        const CComError error(static_cast<HRESULT>(0x80040205), IID_IDispatch, info);
        MessageBoxRecorder recorder;
        ShowComError(error);

        ASSERT_EQ(recorder.Boxes().size(), 1u);
        const auto& box = recorder.Boxes()[0];
        EXPECT_EQ(box.text, c.expected);
        EXPECT_EQ(box.caption, kProductName);
        EXPECT_EQ(box.icon, static_cast<UINT>(MB_ICONERROR));
        EXPECT_EQ(box.owner, window.Frame());
        EXPECT_EQ(::GetFocus(), window.Edit());
    }
}

// --- fitting a check box to its text ---------------------------------------------

namespace {

int MeasuredWidth(HFONT font, const char* text)
{
    unique_hdc dc(::CreateCompatibleDC(nullptr));
    select_object selected(dc.get(), font);
    RECT bounds = {};
    ::DrawTextA(dc.get(), text, -1, &bounds, DT_CALCRECT);
    return bounds.right - bounds.left;
}

RECT RectInParent(HWND window)
{
    RECT rect = {};
    ::GetWindowRect(window, &rect);
    ::MapWindowPoints(HWND_DESKTOP, ::GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

}  // namespace

TEST(FitWidthToTextTest, WidthIsTextInOwnFontPlusTwenty)
{
    unique_hwnd parent(::CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 600, 300, nullptr, nullptr,
                                         nullptr, nullptr));
    // A font far from the system font, so that measuring in the wrong one shows.
    unique_hfont font(::CreateFontA(-30, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Arial"));
    ASSERT_TRUE(parent && font);
    constexpr char text[] = "Enable &Notifications";
    const int expected = MeasuredWidth(font.get(), text) + 20;
    ASSERT_NE(expected, MeasuredWidth(static_cast<HFONT>(::GetStockObject(SYSTEM_FONT)), text) + 20);

    const struct
    {
        const char* text;
        bool withFont;
        int width;
    } cases[] = {
        {text, true, expected},
        {"", true, 20},
        {text, false, 20},  // no font of its own
    };
    for (const auto& c : cases)
    {
        HWND check = ::CreateWindowExA(0, "BUTTON", c.text, WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, 15, 25, 50,
                                       17, parent.get(), nullptr, nullptr, nullptr);
        ASSERT_TRUE(check);
        if (c.withFont)
            ::SendMessageA(check, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
        else
            ASSERT_EQ(::SendMessageA(check, WM_GETFONT, 0, 0), 0);
        FitWidthToText(check);
        const RECT rect = RectInParent(check);
        EXPECT_EQ(rect.right - rect.left, c.width) << c.text;
        EXPECT_EQ(rect.left, 15);
        EXPECT_EQ(rect.top, 25);
        EXPECT_EQ(rect.bottom - rect.top, 17);
        ::DestroyWindow(check);
    }
}
