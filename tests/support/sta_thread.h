// A single-threaded apartment thread with a message loop, on which a test runs
// code synchronously: the thread of one browser window.
#pragma once

#include <windows.h>
#include <functional>
#include <memory>

#include "framework/unique_any.h"

namespace tdm::test {

// Waits for `handle` while dispatching the calling thread's messages (so that
// messages sent to its windows from the awaited thread are served). False when
// `timeoutMs` passed first.
bool WaitPumping(HANDLE handle, DWORD timeoutMs);

class StaThread
{
public:
    // Starts the thread and waits until it takes tasks.
    StaThread();
    StaThread(const StaThread&) = delete;
    StaThread& operator=(const StaThread&) = delete;
    // Ends the message loop and waits for the thread.
    ~StaThread();

    DWORD Id() const noexcept { return m_id; }

    // Runs `task` on the thread and waits for it, pumping the caller's messages
    // meanwhile. False when it did not finish within `timeoutMs` (a deadlock):
    // the task may then still run later, so it must not refer to the caller's
    // locals in that case.
    bool Run(std::function<void()> task, DWORD timeoutMs = 30000);

private:
    struct Task;
    static DWORD WINAPI Main(void* self);
    static LRESULT CALLBACK DispatcherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    unique_handle m_ready;
    unique_handle m_thread;
    DWORD m_id = 0;
    HWND m_dispatcher = nullptr;
};

}  // namespace tdm::test
