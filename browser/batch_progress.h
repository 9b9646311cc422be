// The progress of a long run of adds on the browser's thread.
//
// Adding thousands of links takes seconds: between adds the thread's messages
// are dispatched, so that the browser window keeps painting and answering,
// and after half a second the shell's progress dialog shows how many are
// added and offers Cancel. A run started while another one on the thread is
// dispatching (from a message it dispatched) shows no progress of its own.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstddef>

#include "framework/com_ptr.h"

namespace tdm {

class CBatchProgress
{
public:
    CBatchProgress(HWND owner, size_t total) noexcept;
    ~CBatchProgress();
    CBatchProgress(const CBatchProgress&) = delete;
    CBatchProgress& operator=(const CBatchProgress&) = delete;

    // Called after each item with the count done so far. False once the user
    // cancelled or the thread is asked to quit (the message is posted again).
    bool Step(size_t done) noexcept;

private:
    void Show() noexcept;

    HWND m_owner;
    size_t m_total;
    bool m_outermost;
    bool m_quit = false;
    DWORD m_started;
    DWORD m_lastPump;
    com_ptr<IProgressDialog> m_dialog;
};

}  // namespace tdm
