// The question of a file name, when the engine's first answer from a server
// leaves a download without one (or with a name that is already a file): the
// bar and the toolbar frame ask it the same way.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "bar/engine_events.h"
#include "engine/download_record.h"

namespace tdm {

// Decides whether the user must be asked about the file of `info`'s download
// (no file name yet, or one that names an existing file), lets `claim` decide
// whether this window asks (it claims and brings the browser forward), and asks
// with boxes and the Save As dialog owned by `owner`. The answer goes back
// through `info`: the folder and file name, or the cancel flag; the claimed
// flag is set when this window asked. `otherWithPath` finds another download
// saving to a path. Nothing is read from the download's record after a dialog:
// the events that arrive meanwhile may remove it.
void AskFileName(const IEngineEventHandler::FileInfo& info, bool hasFileName, bool saveFileDefault, HWND owner,
                 const std::function<bool()>& claim,
                 const std::function<const CTolInfoDownload*(const std::wstring& path)>& otherWithPath);

}  // namespace tdm
