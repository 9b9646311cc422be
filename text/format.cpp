#include "text/format.h"

#include <cmath>
#include <cstdio>

#include "framework/unique_any.h"

namespace tdm {

namespace {

constexpr int kLocaleBufferSize = 512;

constexpr double kSecondsPerDay = 86400.0;

// The largest span a time-span value may hold; larger magnitudes (and infinities)
// are shown as this, so that the conversion to whole seconds stays defined.
constexpr double kLargestSpanDays = 3615897.0;

}  // namespace

std::string FormatGroupedNumber(const std::string& number)
{
    char formatted[kLocaleBufferSize] = {};
    if (::GetNumberFormatA(LOCALE_USER_DEFAULT, LOCALE_NOUSEROVERRIDE, number.c_str(), nullptr, formatted,
                           kLocaleBufferSize) == 0)
        return number;

    // The separator is read without the user's overrides as well: the formatted
    // text was made without them, and a user whose own decimal separator is the
    // locale's grouping symbol would otherwise lose every group but the first.
    char separator[kLocaleBufferSize] = {};
    if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL | LOCALE_NOUSEROVERRIDE, separator,
                         kLocaleBufferSize) == 0)
        return formatted;

    std::string text(formatted);
    if (separator[0] != '\0')
    {
        const size_t position = text.rfind(separator);
        if (position != std::string::npos)
            text.erase(position);
    }
    return text;
}

std::string FormatGroupedInt(std::int32_t value)
{
    char digits[16] = {};
    std::snprintf(digits, sizeof(digits), "%ld", static_cast<long>(value));
    return FormatGroupedNumber(digits);
}

std::string FormatGroupedUInt(std::uint32_t value)
{
    char digits[16] = {};
    std::snprintf(digits, sizeof(digits), "%lu", static_cast<unsigned long>(value));
    return FormatGroupedNumber(digits);
}

std::string FormatTimeSpan(double days)
{
    if (std::isnan(days))
        days = 0.0;
    const bool negative = days < 0.0;
    const double magnitude = std::fmin(std::fabs(days), kLargestSpanDays);
    // Half a second rounds to the nearest whole second.
    const double rounded = magnitude + 0.5 / kSecondsPerDay;
    const long long hours = static_cast<long long>(rounded * 24.0);
    const long long minutes = static_cast<long long>(rounded * 1440.0) % 60;
    const long long seconds = static_cast<long long>(rounded * kSecondsPerDay) % 60;
    const bool zero = hours == 0 && minutes == 0 && seconds == 0;

    char text[48] = {};
    std::snprintf(text, sizeof(text), "%s%.2lld:%.2lld:%.2lld", negative && !zero ? "-" : "", hours, minutes,
                  seconds);
    return text;
}

std::string ComErrorText(HRESULT hr)
{
    // The system's texts may hold inserts (%1) that this caller has no values
    // for; they are left in the text rather than read from missing arguments.
    unique_hlocal buffer;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(buffer.put()), 0, nullptr);
    if (length != 0 && buffer)
    {
        std::string text(static_cast<const char*>(buffer.get()), length);
        if (!text.empty() && text.back() == '\n')
        {
            text.pop_back();
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
        }
        return text;
    }

    char fallback[32] = {};
    const auto code = static_cast<unsigned long>(hr);
    if (code > 0x80040200UL && code <= 0x8004FFFFUL)
        std::snprintf(fallback, sizeof(fallback), "IDispatch error #%d", static_cast<int>(code - 0x80040200UL));
    else
        std::snprintf(fallback, sizeof(fallback), "Unknown error 0x%0lX", code);
    return fallback;
}

}  // namespace tdm
