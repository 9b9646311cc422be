// Which of the browser's own downloads the client takes over: the user's
// capture rules (the Capture page of the settings) and the bypass key.
//
// A download the rules do not take stays with the browser, silently: the
// browser then downloads it as if the client were not there.
#pragma once

#include <windows.h>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "text/pattern.h"

namespace tdm {

// The file-name extensions of a types text: separated by blanks, commas or
// semicolons, each without a leading "*" or ".", lower-cased; "*" alone stands
// for every type.
std::vector<std::wstring> SplitCaptureTypes(std::wstring_view text);

// The patterns of a never-list text: one a line, blanks around each removed,
// empty lines left out.
std::vector<std::wstring> SplitPatternLines(std::wstring_view text);

// Compiles a never-list pattern as the rules match it (letter case ignored);
// null when the pattern matcher refuses it.
std::unique_ptr<CPattern> CompileSitePattern(std::wstring_view pattern);

// The server name of a URL ("host" of "scheme://user@host:port/path"), empty
// when it has none.
std::wstring UrlHost(std::wstring_view url);
// The extension of the file name that ends the URL's path (before any query or
// fragment), lower-cased and without its dot; empty when there is none.
std::wstring UrlFileExtension(std::wstring_view url);

class CCaptureRules
{
public:
    CCaptureRules();
    ~CCaptureRules();
    CCaptureRules(CCaptureRules&&) noexcept;
    CCaptureRules& operator=(CCaptureRules&&) noexcept;

    // The rules as stored now (MSIEIntegrate, CaptureTypes, CaptureNeverSites,
    // BypassKey). A stored pattern the matcher refuses is left out.
    static CCaptureRules Load();

    // Whether a download of `url` that the browser offers is taken over: the
    // capture is on, the URL's file type is in the list, and its server matches
    // no pattern of the never-list. The bypass key is not looked at.
    bool Takes(std::wstring_view url) const;
    // Whether the user holds the bypass key at this moment (never with none).
    bool BypassKeyHeld() const noexcept;

    bool integrate = true;
    std::vector<std::wstring> types;
    UINT bypassKey = VK_MENU;

private:
    std::vector<std::unique_ptr<CPattern>> m_neverSites;
};

}  // namespace tdm
