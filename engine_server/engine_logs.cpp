// The logs: one per download and the common one, in the logs folder of the
// data folder; and the refusals of texts the engine cannot take, which are
// logged.
#include "engine_server/engine_core.h"

#include "engine_server/file_names.h"
#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

void CEngineCore::Log(Download& download, const std::wstring& message) noexcept
try
{
    const std::wstring line = LocalTimeText(L"%04u-%02u-%02u\t%02u:%02u:%02u\t") + message + L"\r\n";
    if (m_settings.logPerDownload)
        (void)LOG_IF_FAILED(AppendToFile(m_dataFolder + L"\\logs\\" + std::to_wstring(download.id) + L".log",
                                         Utf8FromWide(line)));
    if (m_settings.keepCommonLog)
        (void)LOG_IF_FAILED(AppendToFile(m_dataFolder + L"\\logs\\common.log",
                                         Utf8FromWide(std::to_wstring(download.id) + L"\t" + line)));
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
