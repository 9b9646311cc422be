// The questions the engine's events put to the user, asked the same way by the
// bar and the toolbar frame: a file name, when the server's first answer leaves
// a download without one (or with a name that is already a file), and the
// credentials a server asks for.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "downloads/engine_events.h"
#include "engine/download_record.h"

namespace tdm {

// Whether the browser window `top` takes an event that one window of all must
// handle: scope 0 when it is the event's `owner`, 1 when it is the front-most
// visible window of its class, 2 and above always, other scopes never.
bool ClaimNotice(HWND top, HWND owner, LONG scope) noexcept;

// Brings the browser's top-level window forward: restored when minimised,
// else made the foreground window.
void BringForward(HWND top) noexcept;

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

// Asks for the credentials of a claimed request in a dialog owned by `owner`
// and answers through the request: user name, password and remember flag, or
// the cancel flag.
void AnswerCredentials(const IEngineEventHandler::Credentials& request, HWND owner);

}  // namespace tdm
