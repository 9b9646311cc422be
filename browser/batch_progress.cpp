#include "browser/batch_progress.h"

#include <shlguid.h>

#include <string>

#include "framework/automation.h"
#include "framework/error.h"
#include "resources/resource.h"
#include "text/format.h"
#include "text/language.h"

namespace tdm {

namespace {

// Whether a run on this thread is dispatching messages.
thread_local bool t_dispatching = false;

constexpr DWORD kPumpEveryMs = 50, kShowAfterMs = 500;

}  // namespace

CBatchProgress::CBatchProgress(HWND owner, size_t total) noexcept
    : m_owner(owner), m_total(total), m_outermost(!t_dispatching), m_started(::GetTickCount()), m_lastPump(m_started)
{
    if (m_outermost)
        t_dispatching = true;
}

CBatchProgress::~CBatchProgress()
{
    if (m_dialog)
        (void)m_dialog->StopProgressDialog();
    if (m_outermost)
        t_dispatching = false;
}

void CBatchProgress::Show() noexcept
try
{
    if (FAILED(::CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IProgressDialog,
                                  m_dialog.put_void())))
        return;
    const unique_bstr title(::SysAllocString(LoadUiStringW(IDS_PRODUCT_NAME).c_str()));
    (void)m_dialog->SetTitle(title.get());
    const HWND owner = ::IsWindow(m_owner) ? m_owner : nullptr;
    if (FAILED(m_dialog->StartProgressDialog(owner, nullptr, PROGDLG_NORMAL | PROGDLG_NOMINIMIZE, nullptr)))
        m_dialog.reset();
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
    m_dialog.reset();
}

bool CBatchProgress::Step(size_t done) noexcept
try
{
    const DWORD now = ::GetTickCount();
    if (!m_outermost || m_quit || now - m_lastPump < kPumpEveryMs)
        return !m_quit;
    m_lastPump = now;
    if (!m_dialog && now - m_started >= kShowAfterMs)
        Show();
    if (m_dialog)
    {
        // Wide from the string table: the interface language need not be
        // the one of the system's code page.
        std::wstring line = LoadUiStringW(IDS_LINKS_ADDING_FMT);
        for (const size_t value : {done, m_total})
            if (const size_t at = line.find(L"%s"); at != std::wstring::npos)
                line.replace(at, 2, WideFromNarrow(FormatGroupedUInt(static_cast<std::uint32_t>(value))));
        (void)m_dialog->SetLine(1, line.c_str(), FALSE, nullptr);
        (void)m_dialog->SetProgress64(done, m_total);
        if (m_dialog->HasUserCancelled())
            return false;
    }
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
    {
        if (message.message == WM_QUIT)
        {
            // For the loop that owns the thread.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            m_quit = true;
            return false;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return true;
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
    return true;
}

}  // namespace tdm
