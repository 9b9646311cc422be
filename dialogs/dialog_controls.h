// Small pieces the client's dialogs share: control texts, labels from the
// string table, the dialogs' icon and placement.
//
// Dialogs are Unicode windows: labels in the interface language show whatever
// the system's code page, and what the user types or the engine stores (URLs,
// paths, names, passwords, proxy fields) is read and shown as UTF-16, as it is.
#pragma once

#include <windows.h>
#include <initializer_list>
#include <string>
#include <string_view>

#include "framework/unique_any.h"

namespace tdm {

// The text of control `id`, however long.
std::wstring ControlText(HWND dialog, int id);

// Limits what the user types into control `id` to `limit` characters and shows
// `text` in it whole: a stored value longer than the limit (the engine's options
// may be of any length) is shown as it is, so that OK without a change writes
// back what was read; the limit then is its length. With `limit` 0 the control
// keeps its own limit.
void SetLimitedText(HWND dialog, int id, std::wstring_view text, size_t limit);

// Gives each control the string whose id equals the control id.
void SetLabelsFromStrings(HWND dialog, std::initializer_list<int> ids);

// Shows or hides control `id`.
void ShowControl(HWND dialog, int id, bool show);

// Loads icon 244 at the small icon size and makes it the dialog's small icon;
// `icon` owns it (the window does not destroy its icons) and releases the one it
// held before.
void SetDialogSmallIcon(HWND dialog, unique_hicon& icon);

// Centres the dialog over its owner (the work area when it has none), kept inside
// the work area of the owner's monitor.
void CenterOverOwner(HWND dialog);

// A tool tip of a dialog control: the control id and the string id of its text.
struct ControlTip
{
    int control;
    UINT text;
};

// Gives each control its tool tip, in the interface language. The tips go with
// the dialog; a dialog whose tips cannot be made works without them.
void AddToolTips(HWND dialog, std::initializer_list<ControlTip> tips);

// A left-aligned column of a report list: the string id of its title and its width.
struct ReportColumn
{
    UINT title;
    int width;
};

// Inserts the columns into the list view `list`, titled in the interface language.
void InsertListColumns(HWND list, std::initializer_list<ReportColumn> columns);

// Shows the system's folder browser owned by `owner` (title string 140,
// file-system folders only) with `start` selected; returns the chosen folder as
// the system gives it (no trailing "\" but for a drive), empty when cancelled.
std::wstring BrowseForFolder(HWND owner, const std::wstring& start);

// Fills a message template: each "%s" takes the next of `values` as plain text
// (a URL or a path is never read as a format), "%%" is "%".
std::string FillTemplate(std::string_view messageTemplate, std::initializer_list<std::string_view> values);
std::wstring FillTemplate(std::wstring_view messageTemplate, std::initializer_list<std::wstring_view> values);

// Gives the keyboard focus back to the window that had it, whatever happened.
class CFocusRestorer
{
public:
    CFocusRestorer() noexcept : m_window(::GetFocus()) {}
    CFocusRestorer(const CFocusRestorer&) = delete;
    CFocusRestorer& operator=(const CFocusRestorer&) = delete;
    ~CFocusRestorer()
    {
        if (m_window && ::IsWindow(m_window))
            ::SetFocus(m_window);
    }

private:
    HWND m_window;
};

}  // namespace tdm
