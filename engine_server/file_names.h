// The names the engine puts on the disk, and the texts it hands aria2.
//
// Every file name that reaches the disk passes here, whoever proposed it: a
// server (Content-Disposition, the address), a client (the file-name answer,
// the local path of the options) or a setting. A server's name is made safe;
// a client's name or folder that is not safe is refused, with the reason.
//
// Texts the engine writes into aria2's files (its configuration, its session)
// are line based: a control character in one of them would start a line of
// aria2's own, so such texts are refused where they enter the engine.
//
// Portable: no Windows calls (built natively for the sanitizer tests too).
#pragma once

#include <string>
#include <string_view>

namespace tdm::engine {

// True when `text` holds a C0 or C1 control character (NUL, CR, LF ... DEL,
// U+0080-U+009F).
bool HasControlCharacter(std::wstring_view text) noexcept;

// Why `name` cannot be a file name as it stands ("is a reserved device
// name", ...), or nullptr when it can.
const char* FileNameProblem(std::wstring_view name) noexcept;

// A server's `name` made into a file name: characters that cannot stand in
// one become "_", trailing dots and blanks go, a device name gets "_" before
// it, and a name with nothing left becomes "download".
std::wstring SafeFileName(std::wstring_view name);

// Why `folder` (a local "X:\..." or UNC "\\server\share\..." path, with or
// without the separator at its end) cannot be a download folder, or nullptr.
const char* FolderProblem(std::wstring_view folder) noexcept;

}  // namespace tdm::engine
