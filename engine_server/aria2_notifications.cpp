#include "engine_server/aria2_notifications.h"

#include <winhttp.h>

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "framework/error.h"
#include "framework/lock.h"

namespace tdm::engine {

namespace {

inline void CloseInternet(HINTERNET handle) noexcept { ::WinHttpCloseHandle(handle); }
using unique_hinternet = unique_any<HINTERNET, CloseInternet>;

// aria2's notifications are a few hundred bytes; anything longer is no
// notification and is dropped unread.
constexpr size_t kMaxMessage = 16 * 1024;
constexpr DWORD kHandshakeTimeoutMs = 5000, kReconnectDelayMs = 1000, kStopTimeoutMs = 2000;

// aria2.onDownloadStart, ...Pause, ...Stop, ...Complete, ...Error and
// aria2.onBtDownloadComplete.
bool IsDownloadNotification(const std::string& message) noexcept
try
{
    const nlohmann::json parsed = nlohmann::json::parse(message, nullptr, false);
    if (!parsed.is_object())
        return false;
    const auto method = parsed.find("method");
    return method != parsed.end() && method->is_string() &&
           method->get_ref<const std::string&>().compare(0, 8, "aria2.on") == 0;
}
catch (...)
{
    return false;
}

}  // namespace

struct CAria2Notifications::Listener
{
    uint16_t port = 0;
    DWORD threadId = 0;
    std::atomic<bool> posted{false};
    unique_handle stop{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    srw_lock lock;
    HINTERNET socket = nullptr;  // the open WebSocket (under `lock`), for Stop

    bool Stopping() const noexcept { return ::WaitForSingleObject(stop.get(), 0) == WAIT_OBJECT_0; }

    void Wake() noexcept
    {
        if (!posted.exchange(true) && !::PostThreadMessageW(threadId, kAria2NotifiedMessage, 0, 0))
            posted = false;
    }

    // Connects and reads notifications until the connection ends or Stop.
    void ListenOnce() noexcept
    {
        unique_hinternet session(::WinHttpOpen(L"tdm-engine", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                               WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session)
            return;
        (void)::WinHttpSetTimeouts(session.get(), 0, kHandshakeTimeoutMs, kHandshakeTimeoutMs, kHandshakeTimeoutMs);
        unique_hinternet connection(::WinHttpConnect(session.get(), L"127.0.0.1", port, 0));
        unique_hinternet request(connection ? ::WinHttpOpenRequest(connection.get(), L"GET", L"/jsonrpc", nullptr,
                                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                            : nullptr);
        if (!request || !::WinHttpSetOption(request.get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0) ||
            !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !::WinHttpReceiveResponse(request.get(), nullptr))
            return;
        DWORD status = 0, size = sizeof(status);
        if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
            status != HTTP_STATUS_SWITCH_PROTOCOLS)
            return;
        unique_hinternet socket(::WinHttpWebSocketCompleteUpgrade(request.get(), 0));
        request.reset();
        if (!socket)
            return;
        // Notifications come when they come: the wait for the next one has no end.
        DWORD forever = 0;
        (void)::WinHttpSetOption(socket.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &forever, sizeof(forever));
        {
            std::lock_guard guard(lock);
            if (Stopping())
                return;
            this->socket = socket.get();
        }
        std::string message;
        bool overlong = false;
        for (;;)
        {
            char buffer[4096];
            DWORD read = 0;
            WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
            if (::WinHttpWebSocketReceive(socket.get(), buffer, sizeof(buffer), &read, &type) != NO_ERROR ||
                type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE || read > sizeof(buffer))
                break;
            if (message.size() + read > kMaxMessage)
                overlong = true;
            else
                message.append(buffer, read);
            if (type == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE ||
                type == WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE)
                continue;
            if (!overlong && IsDownloadNotification(message))
                Wake();
            message.clear();
            overlong = false;
        }
        std::lock_guard guard(lock);
        this->socket = nullptr;
    }
};

namespace {

DWORD WINAPI ListenerThread(void* parameter) noexcept
{
    const std::unique_ptr<std::shared_ptr<CAria2Notifications::Listener>> owned(
        static_cast<std::shared_ptr<CAria2Notifications::Listener>*>(parameter));
    CAria2Notifications::Listener& listener = **owned;
    // aria2 may close the connection (a restart of its RPC, a crash): while it
    // is wanted, the listener connects again.
    while (!listener.Stopping())
    {
        listener.ListenOnce();
        if (::WaitForSingleObject(listener.stop.get(), kReconnectDelayMs) == WAIT_OBJECT_0)
            break;
    }
    return 0;
}

}  // namespace

void CAria2Notifications::Start(uint16_t port, DWORD threadId) noexcept
try
{
    Stop();
    auto listener = std::make_shared<Listener>();
    if (!listener->stop)
        return;
    listener->port = port;
    listener->threadId = threadId;
    auto parameter = std::make_unique<std::shared_ptr<Listener>>(listener);
    m_thread.reset(::CreateThread(nullptr, 0, &ListenerThread, parameter.get(), 0, nullptr));
    if (!m_thread)
    {
        (void)TraceFailure(HRESULT_FROM_WIN32(::GetLastError()), __FILE__, __LINE__,
                           "no thread listens to aria2's notifications");
        return;
    }
    (void)parameter.release();
    m_listener = std::move(listener);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CAria2Notifications::Stop() noexcept
{
    if (!m_listener)
        return;
    ::SetEvent(m_listener->stop.get());
    {
        // A WebSocket closing handshake ends the wait for the next message.
        std::lock_guard guard(m_listener->lock);
        if (m_listener->socket)
            (void)::WinHttpWebSocketShutdown(m_listener->socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
    }
    if (m_thread && ::WaitForSingleObject(m_thread.get(), kStopTimeoutMs) != WAIT_OBJECT_0)
        (void)TraceFailure(HRESULT_FROM_WIN32(ERROR_TIMEOUT), __FILE__, __LINE__,
                           "the listener of aria2's notifications did not end in time");
    m_thread.reset();
    m_listener.reset();
}

void CAria2Notifications::Taken() noexcept
{
    if (m_listener)
        m_listener->posted = false;
}

}  // namespace tdm::engine
