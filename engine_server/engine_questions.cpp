// The questions to the clients: credentials a server asks for, and the file
// name of a download the server names.
#include "engine_server/engine_core.h"

#include "engine_server/engine_events.h"
#include "engine_server/file_names.h"
#include "engine_server/local_paths.h"
#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

using nlohmann::json;
using Phase = TransferStatus::Phase;

void CEngineCore::AskCredentials(long id, const TransferStatus& status) noexcept
try
{
    Download* d = Find(id);
    const bool http = d->url.compare(0, 4, L"http") == 0;
    json result;
    if (http && !d->credentialsAsked && !d->options.userName.empty())
    {
        // The first request for credentials gets the download's own: they go
        // with the address from now on.
        d->credentialsAsked = true;
        (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
        if (SUCCEEDED(AddToBackend(*d, true, -1)))
        {
            Log(*d, L"The server asks for credentials: the download's are given");
            Changed(*d);
            return;
        }
        d = Find(id);
    }
    const long attempt = ++d->attempts;
    std::vector<EventArgument> arguments;
    arguments.push_back(Long(id));
    arguments.push_back(Long(d->owner));
    arguments.push_back(Long(d->scope));
    arguments.push_back(Text(d->url));
    arguments.push_back(Text(L""));
    arguments.push_back(Long(attempt));
    arguments.push_back(Flag(false));
    arguments.push_back(Text(d->options.userName, true));
    arguments.push_back(Text(d->options.password, true));
    arguments.push_back(Flag(false, true));
    arguments.push_back(Flag(false, true));
    arguments.push_back(Flag(false, true));
    d->phase = Phase::Error;
    d->asking = true;
    Log(*d, L"The server asks for credentials");
    m_events.Ask(kEventCredentials, std::move(arguments), 11,
                 [this, id, status](std::vector<EventArgument>& answer) { CredentialsAnswered(id, status, answer); });
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineCore::CredentialsAnswered(long id, const TransferStatus& status, std::vector<EventArgument>& arguments) noexcept
try
{
    // The download may have been deleted or started again meanwhile.
    Download* d = Find(id);
    if (!d || !d->asking || d->gid != status.gid || arguments.size() != 12)
        return;
    d->asking = false;
    const bool cancel = FlagOf(arguments[10]);
    bool answered = FlagOf(arguments[11]);
    if (answered && (HasControlCharacter(TextOf(arguments[7])) || HasControlCharacter(TextOf(arguments[8]))))
    {
        LogEngine(L"Refused: the credentials of a client's answer contain a control character.");
        answered = false;
    }
    if (answered && !cancel)
    {
        // aria2 changes no options of a failed download: it is added again with
        // the credentials and continues.
        d->options.userName = TextOf(arguments[7]);
        d->options.password = TextOf(arguments[8]);
        d->credentialsAsked = true;
        json result;
        (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
        if (SUCCEEDED(AddToBackend(*d, true, -1)))
        {
            d->hadError = true;
            d->state = kStateRunning | kStateError;
            Log(*d, L"Credentials given; started again");
            FireSimple(kEventStateChanged, Args(Long(id), Long(d->state), Double(d->elapsedDays)));
            return;
        }
    }
    // Not answered: the download ends with the server's refusal.
    d->phase = Phase::Active;
    d->state = kStateRunning;
    TransferStatus failed = status;
    failed.errorCode = 0;
    ApplyStatus(id, failed);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// The file-name question. The engine proposes the download's folder and the
// server's name; the client that claims the event may change both or cancel.
// Then the partial file (and aria2's control file) leaves the staging folder
// for its place and the transfer continues there with a range request.
void CEngineCore::AskFileName(long id, const TransferStatus& status) noexcept
try
{
    Download* d = Find(id);
    // Settled already: the move waits only for aria2 to let the file go.
    if (!d->settledName.empty())
    {
        const std::wstring folder = std::move(d->settledFolder), name = std::move(d->settledName);
        d->settledName.clear();
        SettlePlace(id, status, folder, name, d->settledReplace);
        return;
    }
    const std::wstring staged = m_backend.FromBackendPath(status.path);
    const std::wstring stagedName = staged.substr(staged.find_last_of(L"\\/") + 1);
    if (status.totalLength)
        d->totalSize = Clamp32(status.totalLength);
    d->loadedSize = Clamp32(status.completedLength);
    // A name set through the download's options meanwhile is proposed instead;
    // the server's is made safe first.
    const std::wstring proposed = d->nameGiven && !d->fileName.empty() ? d->fileName : SafeFileName(stagedName);
    std::vector<EventArgument> question = FileInfoArguments(*d, d->folder, proposed, false);
    Log(*d, L"The server names the file " + stagedName);
    d->asking = true;
    m_events.Ask(kEventFileInfo, std::move(question), 12,
                 [this, id, status, proposed](std::vector<EventArgument>& answer) {
                     FileNameAnswered(id, status, proposed, answer);
                 });
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineCore::FileNameAnswered(long id, const TransferStatus& status, const std::wstring& proposed,
                                   std::vector<EventArgument>& question) noexcept
try
{
    // A client may have deleted the download meanwhile.
    Download* d = Find(id);
    if (!d || !d->asking || d->gid != status.gid || question.size() != 14)
        return;
    d->asking = false;
    if (d->staging.empty())
        return;
    if (FlagOf(question[13]))
    {
        Log(*d, L"Cancelled at the file-name question");
        (void)Delete(id);
        return;
    }
    std::wstring folder = WithSeparator(TextOf(question[10])), name = TextOf(question[11]);
    if (folder.empty())
        folder = d->folder;
    if (name.empty())
        name = proposed;
    // The client that claimed the question has asked the user about an
    // existing file; without a claim nobody has, and nothing is replaced.
    SettlePlace(id, status, folder, name, FlagOf(question[12]));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

}  // namespace tdm::engine
