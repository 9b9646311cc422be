// The explorer bar in a stand-in browser window on a thread of its own, as the
// bar and command tests and the benchmark drive it.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <initializer_list>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/browser_thread.h"
#include "support/engine_standin.h"
#include "support/message_box_hook.h"
#include "tdm_h.h"

namespace tdm::test {

// One row of the engine's download list: id, URL, folder, file name, state,
// size, bytes loaded, average and current speed.
void AddRow(const EngineStandIn& engine, long id, const char* url, const char* name, long state, long size,
            long loaded, const char* folder = "C:\\dl\\");

// A browser window on its own thread that hosts bars, with a box recorder on
// that thread for as long as it lives.
class BarWindow
{
public:
    BarWindow();
    ~BarWindow();

    // ShowBrowserBar(band, show) as the helper calls it.
    void Show(bool show);
    // Runs `task` on the window's thread with the hosted band (null: none).
    void OnThread(const std::function<void(IDeskBand*)>& task)
    {
        m_thread.Run([&] { task(m_thread.Browser().Bar(CLSID_TolBand)); });
    }
    // The list's rows as "URL|file|size|progress", after the queued messages ran.
    std::vector<std::wstring> Rows();
    // The panel window and its list (on the window's thread); null without a bar.
    HWND Panel();
    HWND List() { return ::GetDlgItem(Panel(), 403); }
    // The next message boxes of the window's thread are answered with `answers`
    // in turn.
    void AnswerNext(std::initializer_list<int> answers);
    // The message boxes the window's thread showed since the last call.
    std::vector<RecordedBox> Boxes();
    HWND Frame() { return m_thread.Window().Frame(); }
    // The browser object; its bar hosting is used on the window's thread only.
    StandInBrowser& Browser() { return m_thread.Browser(); }
    // Runs the messages queued on the calling thread.
    static void Pump();

private:
    BrowserThread m_thread;
    std::optional<MessageBoxRecorder> m_boxes;
};

}  // namespace tdm::test
