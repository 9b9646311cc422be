// The client's message boxes. Every box has the product name as its caption and
// gives the keyboard focus back to the window that had it.
#pragma once

#include <windows.h>
#include <string>

namespace tdm {

// Shows `text` with an OK button and the error icon.
void ShowErrorBox(const std::string& text, HWND owner) noexcept;
// Shows `text` with an OK button and the information icon.
void ShowInfoBox(const std::string& text, HWND owner) noexcept;
// Shows `text` with the given MB_ buttons and icon, captioned `caption` (the
// product name when null); returns the button pressed.
int ShowMessageBox(const std::string& text, HWND owner, UINT type, const char* caption = nullptr) noexcept;

}  // namespace tdm
