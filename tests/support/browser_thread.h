// A stand-in browser window on a thread of its own: opened when constructed,
// closed on its thread when destroyed.
#pragma once

#include <functional>
#include <utility>

#include "support/browser_standin.h"
#include "support/sta_thread.h"

namespace tdm::test {

class BrowserThread
{
public:
    explicit BrowserThread(BrowserWindow::HelperFactory factory = {}) : m_window(std::move(factory))
    {
        m_thread.Run([this] { m_openResult = m_window.Open(); });
    }
    BrowserThread(const BrowserThread&) = delete;
    BrowserThread& operator=(const BrowserThread&) = delete;
    ~BrowserThread() { Close(); }

    void Close()
    {
        m_thread.Run([this] { m_window.Close(); });
    }
    // Runs `task` on the window's thread (StaThread::Run).
    bool Run(std::function<void()> task, DWORD timeoutMs = 30000) { return m_thread.Run(std::move(task), timeoutMs); }

    DWORD ThreadId() const noexcept { return m_thread.Id(); }
    HRESULT OpenResult() const noexcept { return m_openResult; }
    BrowserWindow& Window() noexcept { return m_window; }
    StandInBrowser& Browser() noexcept { return *m_window.Browser(); }

private:
    StaThread m_thread;
    BrowserWindow m_window;
    HRESULT m_openResult = E_UNEXPECTED;
};

}  // namespace tdm::test
