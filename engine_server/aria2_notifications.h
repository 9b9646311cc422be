// aria2's notifications over the WebSocket of its RPC port.
//
// aria2 tells every WebSocket client of its RPC port when a download starts,
// pauses, stops, completes or fails. A thread of this class holds such a
// connection (WinHTTP's WebSocket client) and wakes the engine's main thread
// with a thread message, which then reads aria2's view at once instead of at
// its next poll: state changes reach the clients without the poll's delay,
// and the poll is left for progress.
//
// A notification is only a reason to look sooner: it carries nothing the
// engine takes from it, and nothing is sent on the connection but the
// upgrade request (no secret). At most one wake-up is outstanding: a burst of
// notifications makes one early poll.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "framework/unique_any.h"

namespace tdm::engine {

// The thread message that wakes the engine's main thread.
constexpr UINT kAria2NotifiedMessage = WM_APP + 0x52;

class CAria2Notifications
{
public:
    CAria2Notifications() noexcept = default;
    CAria2Notifications(const CAria2Notifications&) = delete;
    CAria2Notifications& operator=(const CAria2Notifications&) = delete;
    ~CAria2Notifications() { Stop(); }

    // Listens to the aria2 on loopback `port` from now on and wakes thread
    // `threadId` with kAria2NotifiedMessage. Connecting happens on the
    // listening thread; until it is done, the poll alone reads the changes.
    void Start(uint16_t port, DWORD threadId) noexcept;
    // Ends the listening (bounded in time). A thread that does not end in time
    // is left to end on its own: it holds the state it uses.
    void Stop() noexcept;
    // The main thread took the wake-up: the next notification sends another.
    void Taken() noexcept;

    struct Listener;

private:
    std::shared_ptr<Listener> m_listener;
    unique_handle m_thread;
};

}  // namespace tdm::engine
