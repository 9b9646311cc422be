// Texts of numbers, time spans and error codes as the bar, the toolbar and the
// dialogs show them.
//
// The functions hold no state. They build std::string texts in the ANSI code
// page and may throw std::bad_alloc like any other producer of strings; window
// procedures and COM methods, which are boundaries, convert it.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>

namespace tdm {

// Groups the digits of `number` (the decimal text of an integer) by the
// conventions of the user's default locale, without the fraction the system
// adds. A text the system cannot format comes back unchanged.
std::string FormatGroupedNumber(const std::string& number);

// "%d" of `value`, grouped.
std::string FormatGroupedInt(std::int32_t value);

// "%u" of `value`, grouped.
std::string FormatGroupedUInt(std::uint32_t value);

// A span of `days` as total hours, minutes and seconds ("27:05:09"), rounded to
// the nearest second. A negative span is the text of its magnitude after a minus
// sign ("-01:30:00"); a span that rounds to zero seconds has no sign.
std::string FormatTimeSpan(double days);

// The system's message text for `hr`, without its line break; for codes the
// system has no text for, "IDispatch error #n" (FACILITY_ITF codes above
// 0x80040200) or "Unknown error 0x...".
std::string ComErrorText(HRESULT hr);

}  // namespace tdm
