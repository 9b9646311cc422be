// The client's message boxes. Every box has the product name as its caption, is
// modal to its owner, and gives the keyboard focus back to the window that had it.
#pragma once

#include <windows.h>
#include <string>

namespace tdm {

class CComError;

// Boxes are Unicode windows: a text that holds data (a URL, a file name) comes
// as UTF-16 and is shown as it is; an 8-bit text is an interface text in the
// ANSI code page.

// Shows `text` with an OK button and the error icon.
void ShowErrorBox(const std::wstring& text, HWND owner) noexcept;
void ShowErrorBox(const std::string& text, HWND owner) noexcept;
// Shows `text` with an OK button and the information icon.
void ShowInfoBox(const std::wstring& text, HWND owner) noexcept;
void ShowInfoBox(const std::string& text, HWND owner) noexcept;
// Shows `text` with the given MB_ buttons and icon, captioned `caption` (the
// product name when null); returns the button pressed, 0 when no box was shown.
int ShowMessageBox(const std::wstring& text, HWND owner, UINT type, const wchar_t* caption = nullptr) noexcept;
int ShowMessageBox(const std::string& text, HWND owner, UINT type, const char* caption = nullptr) noexcept;

// Shows a failed call in an error box owned by the foreground window (when it is
// a window of this process; otherwise the box has no owner): the
// description its error information carries, or else the system's text of its
// status code.
void ShowComError(const CComError& error) noexcept;

// Makes a child window (a check box or a label) as wide as its text in its own
// font plus 20 pixels for the box and the margins, keeping its position, height
// and z-order. A window without text or without a font of its own gets 20.
void FitWidthToText(HWND window) noexcept;

}  // namespace tdm
