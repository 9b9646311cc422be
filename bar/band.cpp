#include "bar/band.h"

#include "bar/band_site.h"
#include "engine/declared_schemes.h"
#include "framework/error.h"
#include "text/message_box.h"

namespace tdm {

CTolBand::CTolBand() noexcept = default;

CTolBand::~CTolBand() = default;

const InterfaceEntry* CTolBand::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolBand, ITolBand),
        TDM_INTERFACE_VIA(CTolBand, IDispatch, ITolBand),
        TDM_BAND_INTERFACES(CTolBand),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

void CTolBand::FinalRelease() noexcept { Detach(); }

void CTolBand::DestroyBandWindow() noexcept
{
    if (m_panel.Window())
        ::DestroyWindow(m_panel.Window());
}

void CTolBand::RegisterBand(ITolDownloadHelper& helper, bool add)
{
    const LONG thread = static_cast<LONG>(::GetCurrentThreadId());
    CallTwice(IID_ITolDownloadHelper, [&] {
        return add ? helper.RegisterBand(thread, m_panel.Window()) : helper.UnregisterBand(thread, m_panel.Window());
    });
}

// --- ITolBand ------------------------------------------------------------------------

STDMETHODIMP CTolBand::IsVisible(VARIANT_BOOL* visible)
try
{
    if (!visible)
        return E_POINTER;
    *visible = m_panel.Window() && ::IsWindowVisible(m_panel.Window()) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
TDM_COM_CATCH

// --- IDeskBand -----------------------------------------------------------------------

STDMETHODIMP CTolBand::GetBandInfo(DWORD, DWORD, DESKBANDINFO* info)
try
{
    if (!info)
        return E_INVALIDARG;
    if (info->dwMask & DBIM_MINSIZE)
        info->ptMinSize = POINTL{320, 26};
    if (info->dwMask & DBIM_MAXSIZE)
        info->ptMaxSize = POINTL{-1, -1};
    if (info->dwMask & DBIM_INTEGRAL)
        info->ptIntegral = POINTL{1, 1};
    if (info->dwMask & DBIM_ACTUAL)
    {
        RECT rect{};
        if (m_panel.Window() && ::GetWindowRect(m_panel.Window(), &rect))
            info->ptActual = POINTL{rect.right - rect.left, rect.bottom - rect.top};
        else
            info->ptActual = POINTL{0, 0};
    }
    if (info->dwMask & DBIM_TITLE)
        info->wszTitle[0] = L'\0';
    if (info->dwMask & DBIM_MODEFLAGS)
        info->dwModeFlags = DBIMF_VARIABLEHEIGHT;
    if (info->dwMask & DBIM_BKCOLOR)
        info->crBkgnd = ::GetSysColor(COLOR_WINDOW);
    return S_OK;
}
TDM_COM_CATCH

}  // namespace tdm
