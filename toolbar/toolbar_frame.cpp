#include "toolbar/toolbar_frame.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "bar/download_menu.h"
#include "bar/parent_background.h"
#include "browser/download_creation.h"
#include "dialogs/dialog_controls.h"
#include "dialogs/download_properties.h"
#include "dialogs/help_dialog.h"
#include "downloads/download_commands.h"
#include "framework/automation.h"
#include "framework/module.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "tdm_h.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

constexpr WORD kNormalIcons[] = {244, 226, 225, 249, 233, 230};
constexpr WORD kDisabledIcons[] = {243, 227, 222, 250, 232, 231};
constexpr UINT kDropTargetTip = 196;

unique_himagelist MakeImages(const WORD* icons, size_t count)
{
    unique_himagelist images(::ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 5, 2));
    for (size_t i = 0; images && i < count; ++i)
    {
        unique_hicon icon(static_cast<HICON>(::LoadImageW(CModule::Instance().ModuleInstance(),
                                                          MAKEINTRESOURCEW(icons[i]), IMAGE_ICON, 16, 16, 0)));
        ::ImageList_AddIcon(images.get(), icon.get());
    }
    return images;
}

}  // namespace

CTolToolbarFrame::CTolToolbarFrame() noexcept = default;

CTolToolbarFrame::~CTolToolbarFrame()
{
    if (m_model)
        m_model->Unadvise(this);
    if (m_window)
        ::DestroyWindow(m_window);
}

WNDCLASSEXW CTolToolbarFrame::ClassInfo() noexcept
{
    WNDCLASSEXW info{};
    info.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    info.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    return info;
}

std::unique_ptr<IIconicView> CreateBarStripFrame(HWND panel) noexcept
{
    std::unique_ptr<CTolToolbarFrame> frame(new (std::nothrow) CTolToolbarFrame());
    if (!frame || !frame->CreateFrame(panel, false))
        return nullptr;
    return frame;
}

HWND CTolToolbarFrame::CreateFrame(HWND host, bool toolbarHost) noexcept
{
    m_applied.reset();
    m_toolbarHost = toolbarHost;
    const RECT frame{0, 0, kDefaultWidth, kHeight};
    if (!Create(host, frame, L"", WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS))
        return nullptr;
    const HINSTANCE module = CModule::Instance().ModuleInstance();
    m_dropTarget.Create(m_window, RECT{2, 1, 35, kHeight - 3}, L"", WS_CHILD | WS_VISIBLE);

    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_PAGESCROLLER_CLASS};
    ::InitCommonControlsEx(&controls);
    m_toolbar.reset(::CreateWindowExW(WS_EX_TOOLWINDOW, TOOLBARCLASSNAMEW, L"Tolvane",
                                      WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | TBSTYLE_TOOLTIPS |
                                          TBSTYLE_WRAPABLE | TBSTYLE_FLAT | TBSTYLE_TRANSPARENT | CCS_NODIVIDER |
                                          CCS_NORESIZE,
                                      35, 0, 100, kHeight, m_window, nullptr, module, nullptr));
    if (m_toolbar)
    {
        const HWND toolbar = m_toolbar.get();
        ::SendMessageW(toolbar, TB_SETEXTENDEDSTYLE, 0, TBSTYLE_EX_DRAWDDARROWS);
        m_images = MakeImages(kNormalIcons, std::size(kNormalIcons));
        m_disabledImages = MakeImages(kDisabledIcons, std::size(kDisabledIcons));
        ::SendMessageW(toolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_images.get()));
        ::SendMessageW(toolbar, TB_SETDISABLEDIMAGELIST, 0, reinterpret_cast<LPARAM>(m_disabledImages.get()));
        ::SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
        std::vector<TBBUTTON> buttons;
        auto add = [&](int image, int command, BYTE style) {
            TBBUTTON button{};
            button.iBitmap = image;
            button.idCommand = command;
            button.fsState = TBSTATE_ENABLED;
            button.fsStyle = style;
            button.iString = -1;
            buttons.push_back(button);
        };
        add(0, 0, BTNS_SEP);
        if (toolbarHost)
        {
            add(0, kToggleBarCommand, BTNS_CHECK);
            add(0, 0, BTNS_SEP);
        }
        add(1, kCommandStartAll, BTNS_BUTTON);
        add(2, kCommandPauseAll, BTNS_BUTTON);
        add(3, kCommandAdd, BTNS_BUTTON);
        add(4, kCommandSettings, BTNS_BUTTON);
        add(5, 0, BTNS_WHOLEDROPDOWN);
        add(0, 0, BTNS_SEP);
        ::SendMessageW(toolbar, TB_ADDBUTTONSW, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));
        const int buttonWidth = LOWORD(::SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0));
        m_toolbarWidth = toolbarHost ? 6 * buttonWidth + 34 : 5 * buttonWidth + 26;
        ::SetWindowPos(toolbar, nullptr, 35, 0, m_toolbarWidth, kHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    const int left = 35 + m_toolbarWidth;
    m_indicator.SetDownloads(m_model ? &m_model->Downloads() : nullptr);
    m_indicator.SetLogQuery(&CTolToolbarFrame::LogPerDownload, this);
    m_indicator.Create(m_window, RECT{left, 0, std::max(left, kDefaultWidth - 4), kHeight - 3}, L"",
                       WS_CHILD | WS_VISIBLE);
    UpdateButtons();

    m_tip.reset(::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_window, nullptr, module, nullptr));
    if (m_tip && m_dropTarget.Window())
    {
        std::wstring text = LoadUiStringW(kDropTargetTip);
        TOOLINFOW tool{};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = m_window;
        tool.uId = reinterpret_cast<UINT_PTR>(m_dropTarget.Window());
        tool.lpszText = text.data();
        ::SendMessageW(m_tip.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        ::SendMessageW(m_tip.get(), TTM_ACTIVATE, TRUE, 0);
    }
    return m_window;
}

bool CTolToolbarFrame::LogPerDownload(void* frame)
{
    const CDownloadsModel* model = static_cast<CTolToolbarFrame*>(frame)->m_model.get();
    return model && model->LogPerDownload();
}

HWND CTolToolbarFrame::BrowserTopWindow() const noexcept { return BrowserOwnerWindow(m_browser.get()); }

DWORD CTolToolbarFrame::HelpTopic() const noexcept
{
    return kDialogTopicBase + (m_toolbarHost ? kToolbarTemplateId : kBarViewTemplateId);
}

// --- layout and background ---------------------------------------------------------------

LRESULT CTolToolbarFrame::OnSize(UINT, WPARAM, LPARAM lParam, bool&)
{
    const int cx = GET_X_LPARAM(lParam), cy = GET_Y_LPARAM(lParam);
    if (cy == 0 || !m_toolbar)
        return 0;
    RECT drop{};
    ::GetWindowRect(m_dropTarget.Window(), &drop);
    ::MapWindowPoints(nullptr, m_window, reinterpret_cast<POINT*>(&drop), 2);
    ::SetWindowPos(m_dropTarget.Window(), nullptr, 0, 0, drop.right - drop.left, cy - 3,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT bar{};
    ::GetWindowRect(m_toolbar.get(), &bar);
    const int barHeight = bar.bottom - bar.top;
    ::SetWindowPos(m_toolbar.get(), nullptr, drop.right, std::max(0, (cy - barHeight) / 2), 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::SetWindowPos(m_indicator.Window(), nullptr, drop.right + m_toolbarWidth, 0,
                   std::max(0, cx - m_toolbarWidth - static_cast<int>(drop.right) - 4), cy - 3,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    ::RedrawWindow(m_window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return 0;
}

LRESULT CTolToolbarFrame::OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&)
{
    return PaintParentBackground(m_window, reinterpret_cast<HDC>(wParam));
}

// --- downloads ---------------------------------------------------------------------------

void CTolToolbarFrame::SetModel(CDownloadsModel* model) noexcept
{
    if (m_model)
        m_model->Unadvise(this);
    m_model = com_ptr<CDownloadsModel>(model);
    m_indicator.SetDownloads(m_model ? &m_model->Downloads() : nullptr);
    if (m_model)
    {
        try
        {
            m_model->Advise(this);
        }
        catch (...)
        {
            TraceCaughtException(__FILE__, __LINE__);
        }
    }
    Changed(-1);
}

void CTolToolbarFrame::Changed(LONG id) noexcept
{
    m_indicator.Refresh(id);
    UpdateButtons();
}

void CTolToolbarFrame::UpdateButtons() noexcept
{
    if (!m_toolbar)
        return;
    static const CDownloadStore kNone;
    const CTolInfoDownload* current = Current();
    const CCommandStates states(m_model ? m_model->Downloads() : kNone, m_model && m_model->LogPerDownload(), current,
                                current ? 1 : 0);
    // Every progress event passes here: the buttons change only when a state does.
    if (m_applied && *m_applied == states)
        return;
    states.ApplyTo(m_toolbar.get());
    m_applied = states;
}

void CTolToolbarFrame::OnTextsChanged()
{
    Changed(-1);
    if (m_window)
        ::InvalidateRect(m_window, nullptr, TRUE);
}

// --- notices and messages ----------------------------------------------------------------------

LRESULT CTolToolbarFrame::OnBarState(UINT, WPARAM wParam, LPARAM, bool&)
{
    if (m_toolbar)
        ::SendMessageW(m_toolbar.get(), TB_CHECKBUTTON, kToggleBarCommand, MAKELPARAM(wParam != 0, 0));
    return 0;
}

LRESULT CTolToolbarFrame::OnSelectDownload(UINT message, WPARAM wParam, LPARAM lParam, bool&)
{
    RunCommand([&] {
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        const LONG thread = static_cast<LONG>(::GetCurrentThreadId());
        HWND bar = nullptr;
        CallTwice(IID_ITolDownloadHelper, [&] { return helper->GetBandHWND(thread, &bar); });
        if (!bar || !::IsWindowVisible(bar))
        {
            CallTwice(IID_ITolDownloadHelper, [&] { return helper->ShowTolDownloadBand(VARIANT_TRUE); });
            CallTwice(IID_ITolDownloadHelper, [&] { return helper->GetBandHWND(thread, &bar); });
        }
        if (bar)
            ::PostMessageW(bar, message, wParam, lParam);
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnConflictQuery(UINT message, WPARAM wParam, LPARAM lParam, bool&)
{
    const auto* text = reinterpret_cast<const wchar_t*>(lParam);
    if (!text)
        return 0;
    if (!m_model)
        return 0;
    const std::wstring wide(text);
    const LONG skip = static_cast<LONG>(wParam);
    const CTolInfoDownload* other = message == kQueryPathConflict ? m_model->Downloads().FindOtherByPath(skip, wide)
                                                                   : m_model->Downloads().FindOtherByUrl(skip, wide);
    return reinterpret_cast<LRESULT>(other);
}

LRESULT CTolToolbarFrame::OnContextMenu(UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    if (m_toolbarHost)
    {
        handled = false;
        return 0;
    }
    return ::SendMessageW(m_indicator.Window(), message, wParam, lParam);
}

LRESULT CTolToolbarFrame::OnHelp(UINT, WPARAM, LPARAM, bool&)
{
    ShowHelpOrComplain(m_window, HelpTopic());
    return TRUE;
}

LRESULT CTolToolbarFrame::OnContextHelp(WORD, WORD, HWND, bool&)
{
    ShowHelpOrComplain(m_window, HelpTopic());
    return 0;
}

LRESULT CTolToolbarFrame::OnHelpContents(WORD, WORD, HWND, bool&)
{
    ShowHelpOrComplain(m_window, kHelpContents);
    return 0;
}

LRESULT CTolToolbarFrame::OnNotify(UINT, WPARAM, LPARAM lParam, bool& handled)
{
    auto* header = reinterpret_cast<NMHDR*>(lParam);
    if (header && header->code == TTN_GETDISPINFOW && header->hwndFrom != m_tip.get())
    {
        ToolTipFromStringTable(*reinterpret_cast<NMTTDISPINFOW*>(header));
        return 0;
    }
    if (header && header->code == TBN_DROPDOWN && header->hwndFrom == m_toolbar.get())
    {
        const auto* button = reinterpret_cast<NMTOOLBARW*>(header);
        const unique_hmenu menu = BuildHelpMenu();
        RECT rect{};
        ::SendMessageW(m_toolbar.get(), TB_GETRECT, button->iItem, reinterpret_cast<LPARAM>(&rect));
        POINT corner{rect.left, rect.bottom};
        ::ClientToScreen(m_toolbar.get(), &corner);
        ::TrackPopupMenu(menu.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, corner.x, corner.y, 0, m_window,
                         nullptr);
        return TBDDRET_DEFAULT;
    }
    handled = false;
    return 0;
}

// --- commands ------------------------------------------------------------------------------------

LRESULT CTolToolbarFrame::OnToggleBar(WORD, WORD, HWND, bool&)
{
    RunCommand([] {
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        HWND bar = nullptr;
        CallTwice(IID_ITolDownloadHelper,
                  [&] { return helper->GetBandHWND(static_cast<LONG>(::GetCurrentThreadId()), &bar); });
        const bool visible = bar && ::IsWindowVisible(bar);
        CallTwice(IID_ITolDownloadHelper,
                  [&] { return helper->ShowTolDownloadBand(visible ? VARIANT_FALSE : VARIANT_TRUE); });
    });
    return 0;
}

std::vector<LONG> CTolToolbarFrame::CurrentIds() const
{
    if (const CTolInfoDownload* current = Current())
        return {current->id};
    return {};
}

void CTolToolbarFrame::RunDownloadCommand(void (*command)(const CommandSite&, const std::vector<LONG>&), bool all)
{
    RunCommand([&] {
        if (m_model)
            command({*m_model.get(), m_window}, all ? AllDownloadIds(*m_model.get()) : CurrentIds());
    });
}

LRESULT CTolToolbarFrame::OnStart(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        if (m_model)
            StartDownloads({*m_model.get(), m_window}, CurrentIds(), false);
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnStartAll(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        if (m_model)
            StartDownloads({*m_model.get(), m_window}, AllDownloadIds(*m_model.get()), true);
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnPause(WORD, WORD, HWND, bool&)
{
    RunDownloadCommand(&PauseDownloads, false);
    return 0;
}

LRESULT CTolToolbarFrame::OnPauseAll(WORD, WORD, HWND, bool&)
{
    RunDownloadCommand(&PauseDownloads, true);
    return 0;
}

LRESULT CTolToolbarFrame::OnDelete(WORD, WORD, HWND, bool&)
{
    RunDownloadCommand(&DeleteDownloads, false);
    return 0;
}

LRESULT CTolToolbarFrame::OnDeleteAll(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        if (m_model)
            DeleteAllDownloads({*m_model.get(), m_window});
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnProperties(WORD, WORD, HWND, bool&)
{
    RunDownloadCommand(&EditDownloadProperties, false);
    return 0;
}

LRESULT CTolToolbarFrame::OnCopyUrl(WORD, WORD, HWND, bool&)
{
    if (const CTolInfoDownload* current = Current())
        CopyUrlToClipboard(m_window, *current);
    return 0;
}

LRESULT CTolToolbarFrame::OnOpenFile(WORD, WORD, HWND, bool&)
{
    if (const CTolInfoDownload* current = Current())
        OpenDownloadedFile(*current, m_window, GetConfirmFileOpen(), BrowserTopWindow());
    return 0;
}

}  // namespace tdm
