// What lets Internet Explorer's Protected Mode reach the engine.
//
// Browser add-ons run at low integrity. Without more, COM would start the
// engine for them at low integrity too (it could not write to the user's
// folders), and calls from a low-integrity client would be refused. The
// engine's registration therefore adds:
//  - the browser's elevation policy for tdm-engine.exe (policy 3: start it
//    silently at the user's normal integrity), naming its folder and class;
//  - an AppID for the engine's class whose launch and access permissions
//    carry a low mandatory label, so low-integrity callers may start and call
//    this one class, locally, and nothing else of ours.
// Both exist in the registry's 32- and 64-bit views, since a 64-bit browser
// frame reads the latter. Windows alone enforces integrity levels; Wine keeps
// the entries but has no levels to apply them to.
#pragma once

#include <windows.h>
#include <string>

namespace tdm::engine {

// Writes the entries for the engine at `enginePath` (full path of the file).
[[nodiscard]] HRESULT RegisterLowRightsAccess(const std::wstring& enginePath) noexcept;
// Removes them; missing entries are no error.
[[nodiscard]] HRESULT UnregisterLowRightsAccess() noexcept;

}  // namespace tdm::engine
