#include "toolbar/toolbar_band.h"

#include "bar/band_site.h"
#include "engine/declared_schemes.h"
#include "framework/error.h"
#include "text/message_box.h"

namespace tdm {

CTolDownloadToolbar::CTolDownloadToolbar() noexcept = default;

CTolDownloadToolbar::~CTolDownloadToolbar() = default;

const InterfaceEntry* CTolDownloadToolbar::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolDownloadToolbar, ITolDownloadToolbar),
        TDM_INTERFACE_VIA(CTolDownloadToolbar, IDispatch, ITolDownloadToolbar),
        TDM_BAND_INTERFACES(CTolDownloadToolbar),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

void CTolDownloadToolbar::FinalRelease() noexcept { Detach(); }

HWND CTolDownloadToolbar::CreateBandWindow(HWND parent)
{
    m_model = CDownloadsModel::ForThisThread();
    m_frame.SetModel(m_model.get());
    return m_frame.CreateFrame(parent, true);
}

void CTolDownloadToolbar::DestroyBandWindow() noexcept
{
    if (m_frame.Window())
        ::DestroyWindow(m_frame.Window());
    m_frame.SetModel(nullptr);
    m_model.reset();
}

void CTolDownloadToolbar::ShowBandWindow(bool show) noexcept
{
    if (!m_frame.Window())
        return;
    ::ShowWindow(m_frame.Window(), show ? SW_SHOW : SW_HIDE);
    if (show && !m_dropRegistered && m_frame.DropTargetWindow())
        m_dropRegistered =
            SUCCEEDED(LOG_IF_FAILED(::RegisterDragDrop(m_frame.DropTargetWindow(), static_cast<IDropTarget*>(this))));
    else if (!show && m_dropRegistered)
    {
        LOG_IF_FAILED(::RevokeDragDrop(m_frame.DropTargetWindow()));
        m_dropRegistered = false;
    }
}

void CTolDownloadToolbar::RegisterBand(ITolDownloadHelper& helper, bool add)
{
    const LONG thread = static_cast<LONG>(::GetCurrentThreadId());
    CallTwice(IID_ITolDownloadHelper, [&] {
        return add ? helper.RegisterToolbar(thread, m_frame.Window()) : helper.UnregisterToolbar(thread, m_frame.Window());
    });
}

STDMETHODIMP CTolDownloadToolbar::GetBandInfo(DWORD, DWORD, DESKBANDINFO* info)
try
{
    if (!info)
        return E_INVALIDARG;
    info->ptMinSize = POINTL{CTolToolbarFrame::kDefaultWidth, CTolToolbarFrame::kHeight};
    info->ptMaxSize = POINTL{-1, -1};
    info->ptIntegral = POINTL{1, 1};
    RECT rect{};
    LONG width = 0;
    if (m_frame.Window() && ::GetWindowRect(m_frame.Window(), &rect))
        width = rect.right - rect.left;
    info->ptActual = POINTL{width ? width : CTolToolbarFrame::kDefaultWidth, CTolToolbarFrame::kHeight};
    info->wszTitle[0] = L'\0';
    info->dwModeFlags = DBIMF_NORMAL;
    info->dwMask &= ~DBIM_BKCOLOR;
    return S_OK;
}
TDM_COM_CATCH

}  // namespace tdm
