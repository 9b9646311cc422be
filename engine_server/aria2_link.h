// What the engine's core asks of aria2: the link it polls and drives aria2
// through. CAria2Backend is the link to the aria2 process the engine starts;
// tests put a scripted one in its place and drive the core without aria2.
//
// Single-threaded, as the core: every method is called on the engine's main
// thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tdm::engine {

class CAria2Link
{
public:
    // Prepares the link's files in `dataFolder`; `defaultFolder` is where
    // downloads without a folder go. Starts nothing.
    virtual HRESULT Init(const std::wstring& dataFolder, const std::wstring& defaultFolder) noexcept = 0;
    // Makes sure aria2 answers (bounded). A failure leaves a text in LastError.
    virtual HRESULT EnsureRunning() noexcept = 0;
    // One RPC call. S_OK; E_FAIL with aria2's own refusal;
    // HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE) when aria2 cannot be reached.
    virtual HRESULT Call(const std::string& method, const nlohmann::json& params, nlohmann::json& result) noexcept = 0;
    // Several calls in one request; `results` gets one entry per call (an
    // array holding the result, or an error object).
    virtual HRESULT Multicall(const std::vector<std::pair<std::string, nlohmann::json>>& calls,
                              nlohmann::json& results) noexcept = 0;
    // Stops aria2 and waits (bounded) until it has gone.
    virtual void Shutdown() noexcept = 0;
    // Stops aria2: the next call starts another, which reads its
    // configuration and the cookie file anew.
    virtual void Restart() noexcept = 0;
    // Changes whenever another aria2 answers: its view must be read again.
    virtual unsigned Generation() const noexcept = 0;
    // The text of the last failure.
    virtual const std::string& LastError() const noexcept = 0;
    // Paths as aria2 takes and gives them. Empty on failure.
    virtual std::string ToBackendPath(const std::wstring& path) const = 0;
    virtual std::wstring FromBackendPath(const std::string& path) const = 0;
    // Whether aria2 takes further certificate authorities from a file.
    virtual bool TakesCaFile() const noexcept = 0;
    // The main thread took the wake-up of aria2's notifications (it polls now).
    virtual void NotificationTaken() noexcept = 0;
    // Makes the session an aria2 is about to load from the one the last aria2
    // left; none: loaded as it is.
    virtual void SetSessionFilter(std::function<std::string(std::string_view saved)> filter) = 0;

    // The end of the operation in progress, which every call keeps to.
    struct Deadline
    {
        bool set = false;
        DWORD end = 0;  // tick count
    };
    virtual Deadline CurrentDeadline() const noexcept = 0;
    virtual void SetDeadline(const Deadline& deadline) noexcept = 0;

    // True once the deadline of the operation in progress has passed.
    bool DeadlinePassed() const noexcept
    {
        const Deadline deadline = CurrentDeadline();
        return deadline.set && static_cast<LONG>(::GetTickCount() - deadline.end) >= 0;
    }

    // One deadline for everything an operation asks of aria2: calls made
    // while it lives fail with ERROR_TIMEOUT once `milliseconds` have passed.
    // Nested deadlines keep the earlier end.
    class CallDeadline
    {
    public:
        CallDeadline(CAria2Link& link, DWORD milliseconds) noexcept : m_link(link), m_previous(link.CurrentDeadline())
        {
            Deadline deadline{true, ::GetTickCount() + milliseconds};
            if (m_previous.set && static_cast<LONG>(deadline.end - m_previous.end) >= 0)
                deadline.end = m_previous.end;
            m_link.SetDeadline(deadline);
        }
        ~CallDeadline() { m_link.SetDeadline(m_previous); }
        CallDeadline(const CallDeadline&) = delete;
        CallDeadline& operator=(const CallDeadline&) = delete;

    private:
        CAria2Link& m_link;
        Deadline m_previous;
    };

protected:
    ~CAria2Link() = default;
};

}  // namespace tdm::engine
