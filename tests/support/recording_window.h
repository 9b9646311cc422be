// A window that records the messages of one kind it receives: it stands for the
// bar and toolbar windows that register with the helper object. It belongs to
// the thread that creates it; its records can be read from any thread.
#pragma once

#include <windows.h>
#include <functional>
#include <mutex>
#include <vector>

#include "framework/lock.h"

namespace tdm::test {

class RecordingWindow
{
public:
    struct Message
    {
        WPARAM wParam;
        LPARAM lParam;
    };

    explicit RecordingWindow(UINT recorded);
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;
    // Destroy it on its own thread.
    ~RecordingWindow();

    HWND Handle() const noexcept { return m_window; }
    std::vector<Message> Received() const;
    // Just the wParam of each message, in order.
    std::vector<WPARAM> WParams() const;
    // Runs inside the window procedure after each recorded message (to call back
    // into the sender while it waits).
    void OnMessage(std::function<void(WPARAM, LPARAM)> handler) { m_handler = std::move(handler); }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    const UINT m_recorded;
    HWND m_window = nullptr;
    mutable tdm::srw_lock m_lock;
    std::vector<Message> m_received;
    std::function<void(WPARAM, LPARAM)> m_handler;
};

}  // namespace tdm::test
