// The logs: one per download and the common one, in the logs folder of the
// data folder; and the refusals of texts the engine cannot take, which are
// logged.
#include "engine_server/engine_core.h"

#include <algorithm>

#include "engine_server/file_names.h"
#include "engine_server/engine_text.h"
#include "engine_server/local_paths.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

// A download's log: logs\<id / 1000>\<id>.log, a folder for each thousand
// downloads. In one folder of tens of thousands of logs every new one would be
// slow to make under Wine, which searches the whole folder for a new name.
// Logs of earlier versions lie in logs\ itself (`earlier`).
std::wstring CEngineCore::LogPath(long id, bool earlier) const
{
    const std::wstring logs = m_dataFolder + L"\\logs\\";
    return (earlier ? logs : logs + std::to_wstring(id / 1000) + L"\\") + std::to_wstring(id) + L".log";
}

void CEngineCore::Log(Download& download, const std::wstring& message) noexcept
try
{
    const std::wstring line = LocalTimeText(L"%04u-%02u-%02u\t%02u:%02u:%02u\t") + message + L"\r\n";
    if (m_settings.logPerDownload)
    {
        const std::wstring path = LogPath(download.id, false);
        HRESULT hr = AppendToFile(path, Utf8FromWide(line));
        if (hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) &&
            ::CreateDirectoryW(path.substr(0, path.find_last_of(L'\\')).c_str(), nullptr))
            hr = AppendToFile(path, Utf8FromWide(line));
        (void)LOG_IF_FAILED(hr);
    }
    if (m_settings.keepCommonLog)
        (void)LOG_IF_FAILED(AppendToFile(m_dataFolder + L"\\logs\\common.log",
                                         Utf8FromWide(std::to_wstring(download.id) + L"\t" + line)));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// Logs not written for longer than the days to keep go at the engine's start:
// in logs\ (the common log, earlier versions' logs) and its folders of ids.
void CEngineCore::RemoveOldLogs() noexcept
try
{
    if (m_settings.daysToKeep < 0)
        return;
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    const ULONGLONG current = (ULONGLONG(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const ULONGLONG limit = ULONGLONG(m_settings.daysToKeep) * 864000000000ULL;
    const std::wstring logs = m_dataFolder + L"\\logs\\";
    std::vector<std::wstring> folders = {logs};
    for (size_t i = 0; i < folders.size(); ++i)
    {
        WIN32_FIND_DATAW found = {};
        const unique_any<HANDLE, detail::CloseFindHandle, -1> search(::FindFirstFileW((folders[i] + L"*").c_str(), &found));
        for (BOOL more = static_cast<bool>(search); more; more = ::FindNextFileW(search.get(), &found))
        {
            const std::wstring name = found.cFileName;
            const ULONGLONG written = (ULONGLONG(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                      found.ftLastWriteTime.dwLowDateTime;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (i == 0 && NumberOfName(name) >= 0)
                    folders.push_back(logs + name + L"\\");
            }
            else if (name.size() > 4 && name.compare(name.size() - 4, 4, L".log") == 0 && current > written &&
                     current - written > limit)
                ::DeleteFileW((folders[i] + name).c_str());
        }
    }
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// What concerns the engine rather than one download (a refused text, a
// download aria2 ran on its own) goes to the common log whatever its setting.
void CEngineCore::LogEngine(const std::wstring& message) noexcept
try
{
    TraceToDebugger(__FILE__, __LINE__, Utf8FromWide(message).c_str());
    (void)LOG_IF_FAILED(AppendToFile(m_dataFolder + L"\\logs\\common.log",
                                     Utf8FromWide(L"-\t" + LocalTimeText(L"%04u-%02u-%02u\t%02u:%02u:%02u\t") +
                                                  message + L"\r\n")));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

HRESULT CEngineCore::Refuse(const std::string& text) noexcept
{
    LogEngine(L"Refused: " + WideFromUtf8(text));
    return Fail(E_INVALIDARG, text);
}

namespace {

// http://, https:// or ftp:// (any case) and a server name before the path.
bool IsTransferAddress(const std::wstring& url)
{
    const size_t separator = url.find(L"://");
    if (separator == std::wstring::npos)
        return false;
    std::wstring scheme = url.substr(0, separator);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c + 32 : c; });
    const size_t host = separator + 3;
    return (scheme == L"http" || scheme == L"https" || scheme == L"ftp") && host < url.size() &&
           url.find_first_of(L"/?#", host) != host;
}

}  // namespace

// aria2 keeps its downloads in line-based files (its session): a control
// character in any text it gets would start a line of its own there, with an
// option of the sender's choice after the next restart.
HRESULT CEngineCore::CheckTexts(const DownloadOptionsData& o, const std::wstring& cookie) noexcept
try
{
    const std::pair<const char*, const std::wstring*> fields[] = {
        {"address", &o.url},
        {"local path", &o.localPath},
        {"user name", &o.userName},
        {"password", &o.password},
        {"proxy user name", &o.proxyUserName},
        {"proxy password", &o.proxyPassword},
        {"proxy servers", &o.proxyServers},
        {"proxy exceptions", &o.proxyBypass},
        {"cookie", &cookie},
    };
    for (const auto& [name, text] : fields)
        if (HasControlCharacter(*text))
            return Refuse(std::string("The ") + name + " contains a control character.");
    // A download added paused reaches aria2 only when it starts: its address
    // is checked here, not by aria2's refusal.
    if (!o.url.empty() && !IsTransferAddress(o.url))
        return Refuse("The address is not an http, https or ftp address with a server.");
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::CheckHeaders(const RequestHeaders& headers) noexcept
try
{
    if (const char* problem = HeadersProblem(headers))
        return Refuse(problem);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// A folder and file name a client gave: a full path, and a name that is the
// file it says (an empty name: the server names the file later).
HRESULT CEngineCore::CheckPlace(const std::wstring& folder, const std::wstring& fileName) noexcept
try
{
    if (const char* problem = FolderProblem(folder))
        return Refuse("The folder " + Utf8FromWide(folder) + " " + problem + ".");
    if (const char* problem = fileName.empty() ? nullptr : FileNameProblem(fileName))
        return Refuse("The file name " + Utf8FromWide(fileName) + " " + problem + ".");
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

}  // namespace tdm::engine
