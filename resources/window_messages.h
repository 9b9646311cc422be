// The private window messages between the client's windows, one number each.
// Every sender and receiver uses these names; no handler spells WM_USER itself.
#pragma once

#include <windows.h>

namespace tdm {

// Completion notice of a download, posted by the downloads model to its own
// window once its thread claimed the event: wParam the download id, lParam
// kNoticeCompleted or kNoticeStopped (stopped by an error).
inline constexpr UINT kCompletionNotice = WM_USER + 2;
inline constexpr LPARAM kNoticeCompleted = 0;
inline constexpr LPARAM kNoticeStopped = 3;

// Sent (synchronously) by the helper object to a toolbar window when its
// thread's explorer bar comes or goes: wParam 1 when the thread has a bar, 0
// when not; lParam 0.
inline constexpr UINT kBandStateMessage = WM_USER + 6;

// Select download wParam in the explorer bar, opening and restoring it first:
// sent by a download indicator to its frame, and by the frame to the panel.
inline constexpr UINT kSelectDownload = WM_USER + 7;

// Queries the properties dialog sends to the window that opened it (the
// downloads panel or the toolbar frame): wParam the dialog's download id, lParam
// the path or URL (const wchar_t*, as the user typed it). The answer is the record (CTolInfoDownload*) of
// another download with the same path or URL, or 0.
inline constexpr UINT kQueryPathConflict = WM_USER + 8;
inline constexpr UINT kQueryUrlConflict = WM_USER + 9;

}  // namespace tdm
