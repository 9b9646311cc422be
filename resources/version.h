// The product's version, the one place it is written: the version resources
// of tdm.dll and tdm-engine.exe, the about texts and the installer (which
// tools/release.sh reads from here) take it from these lines.
#pragma once

#define TDM_VERSION_NUMBERS 0,6,0,1
#define TDM_VERSION_TEXT "0.6.0.1"
