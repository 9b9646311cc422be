#include "browser/capture_rules.h"

#include <algorithm>

#include "store/settings_store.h"
#include "text/pattern.h"

namespace tdm {

namespace {

// A pattern from the registry is the user's, but a pattern that backtracks
// without end must not hang the browser's download: a match gives up after
// this many steps (and then does not count as a match).
constexpr std::uint64_t kSiteMatchSteps = 1000000;

std::wstring Lowered(std::wstring_view text)
{
    std::wstring lowered(text);
    if (!lowered.empty())
        ::CharLowerBuffW(lowered.data(), static_cast<DWORD>(lowered.size()));
    return lowered;
}

// The pattern matcher reads bytes: wide texts go to it as UTF-8, so that a
// pattern and a name with the same letters give the same bytes.
std::string Utf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                          nullptr);
    return bytes;
}

bool IsBlank(wchar_t c) noexcept
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The part of a URL after "scheme://" up to the path, query or fragment.
std::wstring_view Authority(std::wstring_view url)
{
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring_view::npos)
        return {};
    const std::wstring_view rest = url.substr(scheme + 3);
    return rest.substr(0, rest.find_first_of(L"/?#\\"));
}

// The pieces of `text` between any of `separators` (empty ones too).
std::vector<std::wstring_view> Pieces(std::wstring_view text, const wchar_t* separators)
{
    std::vector<std::wstring_view> pieces;
    for (size_t at = 0; at < text.size();)
    {
        const size_t end = std::min(text.find_first_of(separators, at), text.size());
        pieces.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return pieces;
}

}  // namespace

std::vector<std::wstring> SplitCaptureTypes(std::wstring_view text)
{
    std::vector<std::wstring> types;
    for (std::wstring_view type : Pieces(text, L" \t\r\n,;"))
    {
        if (type != L"*")
        {
            while (!type.empty() && (type.front() == L'*' || type.front() == L'.'))
                type.remove_prefix(1);
        }
        if (!type.empty())
            types.push_back(Lowered(type));
    }
    return types;
}

std::vector<std::wstring> SplitPatternLines(std::wstring_view text)
{
    std::vector<std::wstring> lines;
    for (std::wstring_view line : Pieces(text, L"\r\n"))
    {
        while (!line.empty() && IsBlank(line.front()))
            line.remove_prefix(1);
        while (!line.empty() && IsBlank(line.back()))
            line.remove_suffix(1);
        if (!line.empty())
            lines.emplace_back(line);
    }
    return lines;
}

std::unique_ptr<CPattern> CompileSitePattern(std::wstring_view pattern)
{
    auto compiled = std::make_unique<CPattern>();
    if (compiled->Compile(Utf8(Lowered(pattern)), true) != PatternOk)
        return nullptr;
    return compiled;
}

std::wstring UrlHost(std::wstring_view url)
{
    std::wstring_view host = Authority(url);
    const size_t user = host.rfind(L'@');
    if (user != std::wstring_view::npos)
        host.remove_prefix(user + 1);
    if (!host.empty() && host.front() == L'[')
        return std::wstring(host.substr(1, host.find(L']') - 1));  // an IPv6 address
    return std::wstring(host.substr(0, host.find(L':')));
}

std::wstring UrlFileExtension(std::wstring_view url)
{
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring_view::npos)
        return {};
    std::wstring_view path = url.substr(scheme + 3 + Authority(url).size());
    path = path.substr(0, path.find_first_of(L"?#"));
    const size_t slash = path.find_last_of(L"/\\");
    if (slash == std::wstring_view::npos)
        return {};
    const std::wstring_view name = path.substr(slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring_view::npos)
        return {};
    return Lowered(name.substr(dot + 1));
}

CCaptureRules::CCaptureRules() = default;
CCaptureRules::~CCaptureRules() = default;
CCaptureRules::CCaptureRules(CCaptureRules&&) noexcept = default;
CCaptureRules& CCaptureRules::operator=(CCaptureRules&&) noexcept = default;

CCaptureRules CCaptureRules::Load()
{
    CCaptureRules rules;
    rules.integrate = GetMSIEIntegrate();
    rules.types = SplitCaptureTypes(GetCaptureTypes());
    rules.bypassKey = GetBypassKey();
    for (const std::wstring& line : SplitPatternLines(GetCaptureNeverSites()))
    {
        if (auto pattern = CompileSitePattern(line))
            rules.m_neverSites.push_back(std::move(pattern));
    }
    return rules;
}

bool CCaptureRules::Takes(std::wstring_view url) const
{
    if (!integrate)
        return false;
    const std::wstring extension = UrlFileExtension(url);
    const bool typeTaken = std::any_of(types.begin(), types.end(), [&](const std::wstring& type) {
        return type == L"*" || (!extension.empty() && type == extension);
    });
    if (!typeTaken)
        return false;
    const std::string host = Utf8(Lowered(UrlHost(url)));
    for (const auto& pattern : m_neverSites)
    {
        CPatternMatch match;
        match.SetStepLimit(kSiteMatchSteps);
        if (pattern->Match(host, match))
            return false;
    }
    return true;
}

bool CCaptureRules::BypassKeyHeld() const noexcept
{
    // The key as it is now, not as the browser's message queue last saw it: the
    // download starts from the browser's own code, between two messages.
    return bypassKey != 0 && (::GetAsyncKeyState(static_cast<int>(bypassKey)) & 0x8000) != 0;
}

}  // namespace tdm
