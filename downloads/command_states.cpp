#include "downloads/command_states.h"

#include <commctrl.h>

namespace tdm {

CCommandStates::CCommandStates(const CDownloadStore& downloads, bool logPerDownload, const CTolInfoDownload* current,
                               size_t selected) noexcept
{
    const size_t rows = downloads.Count();
    const size_t active = downloads.ActiveCount();
    const size_t finished = downloads.FinishedCount();
    const bool running = current && current->IsRunning();
    const bool complete =
        current && (current->state == kStateComplete || current->state == (kStateError | kStateComplete));
    const Entry entries[] = {
        {kCommandStart, current && !running},
        {kCommandPause, running},
        {kCommandStartAll, rows > 0 && active + finished != rows},
        {kCommandPauseAll, active > 0},
        {kCommandDelete, current != nullptr},
        {kCommandDeleteAll, rows > 0},
        {kCommandProperties, current != nullptr},
        {kCommandLog, current && logPerDownload},
        {kCommandCopyUrl, current && selected == 1},
        {kCommandOpenFile, complete && selected == 1},
    };
    static_assert(sizeof(entries) == sizeof(m_entries));
    for (size_t i = 0; i < std::size(entries); ++i)
        m_entries[i] = entries[i];
}

bool CCommandStates::Enabled(WORD command) const noexcept
{
    for (const Entry& entry : m_entries)
        if (entry.command == command)
            return entry.enabled;
    return true;
}

bool CCommandStates::operator==(const CCommandStates& other) const noexcept
{
    for (size_t i = 0; i < std::size(m_entries); ++i)
        if (m_entries[i].enabled != other.m_entries[i].enabled)
            return false;
    return true;
}

void CCommandStates::ApplyTo(HWND toolbar) const noexcept
{
    if (!toolbar)
        return;
    for (const Entry& entry : m_entries)
        if (::SendMessageW(toolbar, TB_COMMANDTOINDEX, entry.command, 0) >= 0)
            ::SendMessageW(toolbar, TB_ENABLEBUTTON, entry.command, MAKELPARAM(entry.enabled ? TRUE : FALSE, 0));
}

void CCommandStates::ApplyTo(HMENU menu) const noexcept
{
    for (const Entry& entry : m_entries)
        ::EnableMenuItem(menu, entry.command, MF_BYCOMMAND | (entry.enabled ? MF_ENABLED : MF_GRAYED));
}

}  // namespace tdm
