// aria2's session file: the downloads an aria2 that starts loads and runs.
//
// aria2 writes it every second and when asked, but skips a periodic write when
// its downloads look as they did at its last periodic write, even though a
// write on request came in between. The file can therefore hold downloads the
// engine has already removed, or show one running that the engine has paused.
// Before an aria2 starts on it, the engine puts the file in line with its own
// table.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tdm::engine {

// What becomes of a download of the session.
enum class SessionFate
{
    Drop,  // left out: the engine does not follow it, or it has ended
    Run,   // loaded to run
    Hold,  // loaded paused
};

// The session `text` with each download as `fate` (given its GID) decides. A
// download is a line of its addresses followed by its options, one per line,
// each line beginning with a space; one without a GID is dropped, and so is
// anything else that is not a download.
std::string FilterSession(std::string_view text, const std::function<SessionFate(std::string_view gid)>& fate);

}  // namespace tdm::engine
