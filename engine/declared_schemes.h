// The URL schemes that the registered download engine declares it serves.
//
// An engine that serves more than http and ftp says so in its registration: the
// value "Schemes" (REG_SZ, names separated by blanks, "http https ftp") of its
// class key, written when it registers and removed when it unregisters. The
// download rule (text/url_components.h) consults this declaration on every
// check, from the drop target, the interception and download creation alike,
// so the set is kept in memory and read again only when it has aged.
#pragma once

#include "text/url_components.h"

namespace tdm {

// The declared schemes: as read last, or read now when that was long enough ago
// (a few seconds) or never. Nothing declared when the engine is not registered.
// Any thread.
CSchemeSet DeclaredEngineSchemes() noexcept;

// Forgets the set read so far: the next check reads the registration again.
// Called when a bar is shown and when a download is created, so that a newly
// installed engine counts at once.
void RefreshDeclaredEngineSchemes() noexcept;

}  // namespace tdm
