// What the engine's events do to a download's record, the same for the bar's
// list and the toolbar frame's array.
#pragma once

#include <windows.h>
#include <memory>

#include "downloads/engine_events.h"
#include "engine/download_record.h"

namespace tdm {

// The record of a download the engine announced: its URL, its path (the folder
// and the file name joined), state and priority, with its file icon. Raises
// std::bad_alloc when out of memory.
std::unique_ptr<CTolInfoDownload> MakeAddedRecord(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state,
                                                  LONG priority);

// A progress event: a known size smaller than the bytes loaded becomes unknown;
// times, bytes and speeds are taken, and the record is fresh.
void ApplyProgress(CTolInfoDownload& record, const IEngineEventHandler::Progress& progress) noexcept;

// The folder and file name joined with one backslash.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& fileName);
// A BSTR's text (null: empty).
inline std::wstring TextOf(BSTR text) { return text ? std::wstring(text, ::SysStringLen(text)) : std::wstring(); }
// Replaces a record's text; false when out of memory.
bool SetText(unique_bstr& field, const std::wstring& text) noexcept;
// The record's file icon, looked up again for its path.
void LookUpIcon(CTolInfoDownload& record) noexcept;

}  // namespace tdm
