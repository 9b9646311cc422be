// The user's preferences of the client, one registry value each under
// HKEY_CURRENT_USER\Software\Tolvane\Download Manager\Settings.
//
// Nothing is cached: every getter opens the key, reads one value and closes it;
// every setter creates the key when needed, writes one value and closes it.
// Missing keys, missing values and values of the wrong type give the default;
// failed writes are dropped silently. Users keep their own copies.
#pragma once

#include <windows.h>
#include <string>

namespace tdm {

inline constexpr const char kSettingsKey[] = "Software\\Tolvane\\Download Manager\\Settings";

// The eight primitives. Keys are relative to HKEY_CURRENT_USER.
bool ReadRegFlag(const char* keyPath, const char* valueName, bool defaultValue) noexcept;
LONG WriteRegFlag(const char* keyPath, const char* valueName, bool value) noexcept;
LONG ReadRegNumber(const char* keyPath, const char* valueName, LONG defaultValue) noexcept;
LONG WriteRegNumber(const char* keyPath, const char* valueName, LONG value) noexcept;
WORD ReadRegWord(const char* keyPath, const char* valueName, WORD defaultValue) noexcept;
LONG WriteRegWord(const char* keyPath, const char* valueName, DWORD value) noexcept;
// Texts are REG_SZ values read and written as UTF-16, so that a folder named in
// any script survives (a value written by the ANSI functions reads the same).
std::wstring ReadRegText(const char* keyPath, const char* valueName, const std::wstring& defaultValue);
LONG WriteRegText(const char* keyPath, const char* valueName, const std::wstring& value) noexcept;

// Accessors, one pair per value.
std::wstring GetBrowse();
void SetBrowse(const std::wstring& folder);
// The folder the settings offer for new downloads: the one stored, or else
// the user's Downloads folder (where the engine puts a download given none),
// ending with "\".
std::wstring GetDownloadFolder();
bool GetSaveFileDefault() noexcept;
void SetSaveFileDefault(bool value) noexcept;
bool GetIsIconic() noexcept;
void SetIsIconic(bool value) noexcept;
LONG GetRestoredHeight() noexcept;
void SetRestoredHeight(LONG value) noexcept;
LONG GetIconicTopOffset() noexcept;
void SetIconicTopOffset(LONG value) noexcept;
bool GetMSIEIntegrate() noexcept;
void SetMSIEIntegrate(bool value) noexcept;
WORD GetLanguageID() noexcept;
// Only the low 16 bits of `language` are stored.
void SetLanguageID(DWORD language) noexcept;
bool GetNotOpenBand() noexcept;
void SetNotOpenBand(bool value) noexcept;
bool GetStart() noexcept;
void SetStart(bool value) noexcept;
bool GetConfirmCreation() noexcept;
void SetConfirmCreation(bool value) noexcept;
bool GetDelete() noexcept;
void SetDelete(bool value) noexcept;
bool GetConfirmFileOpen() noexcept;
void SetConfirmFileOpen(bool value) noexcept;
bool GetNotifications() noexcept;
void SetNotifications(bool value) noexcept;
bool GetInformWhenCompleted() noexcept;
void SetInformWhenCompleted(bool value) noexcept;
bool GetPlaySounds() noexcept;
void SetPlaySounds(bool value) noexcept;
bool GetShowToolbar() noexcept;
void SetShowToolbar(bool value) noexcept;
bool GetShowToolbarLabels() noexcept;
void SetShowToolbarLabels(bool value) noexcept;
// The link-selection dialog's size and column widths in pixels as the user left
// them; 0 until then (the template's size and the dialog's own widths).
LONG GetLinksDialogWidth() noexcept;
void SetLinksDialogWidth(LONG value) noexcept;
LONG GetLinksDialogHeight() noexcept;
void SetLinksDialogHeight(LONG value) noexcept;
LONG GetLinksNameColumnWidth() noexcept;
void SetLinksNameColumnWidth(LONG value) noexcept;
LONG GetLinksUrlColumnWidth() noexcept;
void SetLinksUrlColumnWidth(LONG value) noexcept;

// The capture rules of the browser's own downloads (the Capture page), besides
// MSIEIntegrate, which switches the capture on and off:
// CaptureTypes, the file-name extensions taken over, separated by blanks (the
// default: archives, installers, disk images, audio, video and documents);
// CaptureNeverSites, patterns of servers never taken over, one a line (default
// none); BypassKey, the virtual key that leaves a starting download to the
// browser while it is held (VK_MENU, VK_CONTROL, VK_SHIFT; 0 none; default
// VK_MENU; any other stored number reads as the default).
std::wstring DefaultCaptureTypes();
std::wstring GetCaptureTypes();
void SetCaptureTypes(const std::wstring& types);
std::wstring GetCaptureNeverSites();
void SetCaptureNeverSites(const std::wstring& patterns);
UINT GetBypassKey() noexcept;
void SetBypassKey(UINT key) noexcept;

// A user's copy of the completion-related settings. The two notifications count
// as off whenever the master switch `Notifications` is off.
struct CompletionSettings
{
    bool deleteCompleted = false;
    bool saveFileDefault = true;
    bool confirmFileOpen = false;
    bool informWhenCompleted = false;
    bool playSounds = false;

    static CompletionSettings Load() noexcept;
};

}  // namespace tdm
