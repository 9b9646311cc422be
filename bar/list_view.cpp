#include "bar/list_view.h"

#include <algorithm>
#include <cwchar>
#include <new>
#include <utility>

#include "framework/activation_context.h"
#include "framework/automation.h"
#include "framework/error.h"
#include "framework/module.h"
#include "resources/resource.h"
#include "text/format.h"
#include "text/language.h"

namespace tdm {

namespace {

constexpr double kSecondsPerDay = 86400.0;

struct ColumnInfo
{
    UINT title;  // string ids
    UINT tip;
    int format;
    int width;  // pixels
};

constexpr ColumnInfo kColumns[kListColumnCount] = {
    {IDS_COL_URL, IDS_HDRTIP_URL, LVCFMT_LEFT, 220},
    {IDS_COL_FILE_NAME, IDS_HDRTIP_FILE_NAME, LVCFMT_LEFT, 220},
    {IDS_COL_SIZE, IDS_HDRTIP_SIZE, LVCFMT_RIGHT, 135},  // its title with the sort arrow, in Russian too
    {IDS_COL_PROGRESS, IDS_HDRTIP_PROGRESS, LVCFMT_RIGHT, 120},
    {IDS_COL_ELAPSED_TIME, IDS_HDRTIP_ELAPSED_TIME, LVCFMT_RIGHT, 80},
    {IDS_COL_TIME_REMAINING, IDS_HDRTIP_TIME_REMAINING, LVCFMT_RIGHT, 80},
    {IDS_COL_SPEED, IDS_HDRTIP_SPEED, LVCFMT_RIGHT, 120},
    {IDS_COL_BYTES_LOADED, IDS_HDRTIP_BYTES_LOADED, LVCFMT_RIGHT, 125},
};

// Icon resources of the list's small image list, in image-index order.
constexpr UINT kListIcons[] = {242, 238, 239, 234, 236, 235, 240, 248, 256, 284};
enum ListImage : int
{
    kImageTransferring = 0,
    kImageStopped = 1,
    kImageComplete = 2,
    kImageOtherState = 3,
    kImageCanResume = 4,
    kImageCannotResume = 5,
    kImageResumeUnknown = 6,
    kImageErrorRunning = 7,
    kImageErrorEnded = 8,
    kImageWaiting = 9,
};
// Icon resources of the header's arrows: ascending, descending.
constexpr UINT kHeaderIcons[] = {282, 280};

constexpr int kIconSize = 16;

int StateImage(LONG state) noexcept
{
    switch (state)
    {
    case kStateTransferring: return kImageTransferring;
    case kStateStopped: return kImageStopped;
    case kStateComplete: return kImageComplete;
    case kStateError | kStateTransferring: return kImageErrorRunning;
    case kStateError | kStateComplete: return kImageErrorEnded;
    case kStateRunning: return kImageWaiting;
    default: return kImageOtherState;
    }
}

int ResumeImage(LONG resumable) noexcept
{
    return resumable == 0 ? kImageCannotResume : resumable == 1 ? kImageCanResume : kImageResumeUnknown;
}

double ProgressOf(const CTolInfoDownload& record) noexcept
{
    return record.totalSize != 0 && record.loadedSize <= record.totalSize
               ? static_cast<double>(record.loadedSize) / static_cast<double>(record.totalSize)
               : -1.0;
}

// The estimate of the time left, from the bytes still to load at the average
// speed. Without a size, or with more loaded than the size, there is none.
void UpdateRemaining(CTolInfoDownload& record) noexcept
{
    if (record.totalSize != 0 && record.loadedSize == record.totalSize)
        record.remaining = TimeSpan{0.0, true};
    else if (record.averageSpeed < 1 || record.totalSize == 0 || record.loadedSize > record.totalSize)
        record.remaining.valid = false;
    else
        record.remaining = TimeSpan::FromDays(static_cast<double>(record.totalSize - record.loadedSize) /
                                              record.averageSpeed / kSecondsPerDay);
}

// Spans as sort keys: an unknown span before every known one.
double SpanKey(const TimeSpan& span) noexcept { return span.valid ? span.days : -1.0; }

std::wstring BstrText(const unique_bstr& text) { return text ? std::wstring(text.get(), text.length()) : L""; }

std::wstring CellText(const CTolInfoDownload& record, int column)
{
    const auto notAvailable = [] { return LoadUiStringW(IDS_NOT_AVAILABLE); };
    switch (column)
    {
    case kListColumnUrl: return BstrText(record.url);
    case kListColumnFileName: return BstrText(record.path);
    case kListColumnSize:
        return record.totalSize == 0 ? notAvailable() : WideFromNarrow(FormatGroupedUInt(record.totalSize));
    case kListColumnProgress:
    {
        if (record.progress < 0.0)
            return notAvailable();
        wchar_t text[16] = {};
        std::swprintf(text, 16, L"%d%%", static_cast<int>(record.progress * 100.0));
        return text;
    }
    case kListColumnElapsed: return WideFromNarrow(FormatTimeSpan(record.elapsed.days));
    case kListColumnRemaining:
        return record.remaining.valid ? WideFromNarrow(FormatTimeSpan(record.remaining.days)) : notAvailable();
    case kListColumnSpeed:
        if (record.currentSpeed < 1 || record.averageSpeed < 1)
            return notAvailable();
        return WideFromNarrow(FormatGroupedInt(record.currentSpeed) + " / " + FormatGroupedInt(record.averageSpeed));
    case kListColumnLoaded:
        return record.loadedSize == 0 ? notAvailable() : WideFromNarrow(FormatGroupedUInt(record.loadedSize));
    default: return {};
    }
}

template <typename T>
int Order(const T& first, const T& second) noexcept
{
    return first < second ? -1 : second < first ? 1 : 0;
}

int CompareTexts(const unique_bstr& first, const unique_bstr& second) noexcept
{
    // CompareStringW answers 1, 2 or 3 for less, equal or greater (0 on failure).
    const int result = ::CompareStringW(LOCALE_USER_DEFAULT, 0, first ? first.get() : L"",
                                        static_cast<int>(first.length()), second ? second.get() : L"",
                                        static_cast<int>(second.length()));
    return result == 0 ? 0 : result - 2;
}

int CompareRecords(const CTolInfoDownload& first, const CTolInfoDownload& second, int column) noexcept
{
    switch (column)
    {
    case kListColumnUrl: return CompareTexts(first.url, second.url);
    case kListColumnFileName: return CompareTexts(first.path, second.path);
    case kListColumnSize: return Order(first.totalSize, second.totalSize);
    case kListColumnLoaded: return Order(first.loadedSize, second.loadedSize);
    case kListColumnProgress: return Order(ProgressOf(first), ProgressOf(second));
    case kListColumnElapsed: return Order(SpanKey(first.elapsed), SpanKey(second.elapsed));
    case kListColumnRemaining: return Order(SpanKey(first.remaining), SpanKey(second.remaining));
    case kListColumnSpeed: return Order(first.averageSpeed, second.averageSpeed);
    default: return 0;
    }
}

unique_hicon LoadModuleIcon(UINT id, int size) noexcept
{
    return unique_hicon(static_cast<HICON>(::LoadImageW(CModule::Instance().ModuleInstance(), MAKEINTRESOURCEW(id),
                                                        IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
}

// An image list of the module's icons `ids` at 16 x 16.
template <size_t Count>
unique_himagelist MakeImageList(UINT flags, const UINT (&ids)[Count], int grow) noexcept
{
    unique_himagelist images(::ImageList_Create(kIconSize, kIconSize, flags, static_cast<int>(Count) + 1, grow));
    if (!images)
        return images;
    for (size_t i = 0; i < Count; ++i)
    {
        // A missing icon still takes its index, so that the later ones keep theirs.
        unique_hicon icon = LoadModuleIcon(ids[i], kIconSize);
        if (!icon || ::ImageList_AddIcon(images.get(), icon.get()) < 0)
            ::ImageList_AddIcon(images.get(), ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION)));
    }
    return images;
}

// The first row after `start` (-1: from the top) in the state `flags` (LVNI_), or -1.
int NextRow(HWND list, int start, UINT flags) noexcept
{
    return static_cast<int>(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(start), flags));
}

int RectWidth(const RECT& rect) noexcept { return rect.right - rect.left; }
int RectHeight(const RECT& rect) noexcept { return rect.bottom - rect.top; }

}  // namespace

COLORREF ShadedRowColour(COLORREF window) noexcept
{
    const auto shade = [](BYTE value) { return static_cast<BYTE>(value < 12 ? value + 12 : value - 12); };
    return RGB(shade(GetRValue(window)), shade(GetGValue(window)), shade(GetBValue(window)));
}

// --- set-up ---------------------------------------------------------------------

CTolListView::CTolListView() noexcept = default;

CTolListView::~CTolListView()
{
    const HWND header = m_header;
    Unsubclass();
    if (header && ::IsWindow(header))
        ::SendMessageW(header, HDM_SETIMAGELIST, HDSIL_NORMAL, 0);
    // The tip window belongs to the panel, which may be gone with it already.
    if (m_tips && !::IsWindow(m_tips.get()))
        (void)m_tips.release();
}

bool CTolListView::Setup(HWND list, HWND panel) noexcept
try
{
    if ((::GetWindowLongPtrW(list, GWL_STYLE) & LVS_OWNERDATA) == 0 || !Subclass(list))
        return false;
    m_header = reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0));
    constexpr DWORD kExtendedStyles = LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP;
    ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, kExtendedStyles, kExtendedStyles);

    // The list destroys its small image list with itself; the one it had is ours to destroy.
    unique_himagelist images = MakeImageList(ILC_COLOR24 | ILC_MASK, kListIcons, 5);
    unique_himagelist previous(reinterpret_cast<HIMAGELIST>(
        ::SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images.get()))));
    (void)images.release();
    m_headerImages = MakeImageList(ILC_COLOR8 | ILC_MASK, kHeaderIcons, 1);
    if (m_header)
        ::SendMessageW(m_header, HDM_SETIMAGELIST, HDSIL_NORMAL, reinterpret_cast<LPARAM>(m_headerImages.get()));

    for (int column = 0; column < kListColumnCount; ++column)
    {
        std::wstring title = LoadUiStringW(kColumns[column].title);
        LVCOLUMNW info{};
        info.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        info.fmt = kColumns[column].format;
        info.cx = kColumns[column].width;
        info.pszText = title.data();
        ::SendMessageW(list, LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&info));
    }

    m_msimg32.reset(::LoadLibraryW(L"msimg32.dll"));
    if (m_msimg32)
    {
        m_gradientFill = reinterpret_cast<GradientFillFunction>(::GetProcAddress(m_msimg32.get(), "GradientFill"));
        m_alphaBlend = reinterpret_cast<AlphaBlendFunction>(::GetProcAddress(m_msimg32.get(), "AlphaBlend"));
    }

    {
        CActivationScope activation;
        m_tips.reset(::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, panel, nullptr,
                                       CModule::Instance().ModuleInstance(), nullptr));
    }
    UpdateHeaderTips(true);
    if (m_tips)
        ::SendMessageW(m_tips.get(), TTM_ACTIVATE, TRUE, 0);
    return true;
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
    return false;
}

// --- rows -------------------------------------------------------------------------

int CTolListView::RowCount() const noexcept
{
    return m_window && m_model ? static_cast<int>(m_model->Downloads().Count()) : 0;
}

void CTolListView::SetItemCount() noexcept
{
    ::SendMessageW(m_window, LVM_SETITEMCOUNT, RowCount(), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
}

void CTolListView::SetRowState(int index, UINT state, UINT mask) noexcept
{
    LVITEMW item{};
    item.state = state;
    item.stateMask = mask;
    ::SendMessageW(m_window, LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

void CTolListView::DeselectAll() noexcept
{
    // Usually at most one row is selected, the focused one: then that row alone
    // changes. Taking the state from all rows costs a pass over every row.
    const int selected = static_cast<int>(::SendMessageW(m_window, LVM_GETSELECTEDCOUNT, 0, 0));
    int row = -1;
    if (selected <= 1)
    {
        const int focused = NextRow(m_window, -1, LVNI_FOCUSED);
        if (selected == 0 && focused < 0)
            return;
        row = selected == 0 || ::SendMessageW(m_window, LVM_GETITEMSTATE, focused, LVIS_SELECTED) != 0
                  ? focused
                  : NextRow(m_window, -1, LVNI_SELECTED);
    }
    SetRowState(row, 0, LVIS_SELECTED | LVIS_FOCUSED);
}

void CTolListView::RowAdded(LONG id) noexcept
{
    const int index = FindRow(id);
    if (index < 0)
        return;
    if (CTolInfoDownload* record = RecordOf(index))
        UpdateRemaining(*record);
    DeselectAll();
    ::SendMessageW(m_window, LVM_SETSELECTIONMARK, 0, -1);
    // In the order before the control counts it: selecting the row tells the
    // panel, which looks the row up.
    SetItemCount();
    SetRowState(index, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

void CTolListView::RowsReset() noexcept
{
    if (!m_window)
        return;
    ::SendMessageW(m_window, LVM_DELETEALLITEMS, 0, 0);
    const int count = RowCount();
    if (count == 0)
        return;
    for (int row = 0; row < count; ++row)
        UpdateRemaining(*RecordOf(row));
    SetItemCount();
    SetRowState(count - 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ::SendMessageW(m_window, LVM_SETSELECTIONMARK, 0, -1);
}

void CTolListView::RowRemoving(int index) noexcept
{
    // An owner-data list takes LVM_DELETEITEM as "one row less at `index`": it
    // moves the selection, focus and mark of the rows below up with them. The
    // record is still in the model meanwhile, for the deselection it tells the
    // panel of.
    if (m_window && RecordOf(index))
        ::SendMessageW(m_window, LVM_DELETEITEM, static_cast<WPARAM>(index), 0);
}

void CTolListView::RowChanged(LONG id, DownloadChange change) noexcept
{
    const int index = FindRow(id);
    switch (change)
    {
    case DownloadChange::Row: UpdateRow(index); break;
    case DownloadChange::Transfer: UpdateTransferCells(index); break;
    case DownloadChange::Redraw: RedrawRow(index); break;
    }
}

int CTolListView::FindRow(LONG id) const noexcept
{
    return m_window && m_model ? m_model->Downloads().IndexOf(id) : -1;
}

CTolInfoDownload* CTolListView::RecordOf(int index) const noexcept
{
    if (!m_window || !m_model || index < 0)
        return nullptr;
    return m_model->Downloads().At(static_cast<size_t>(index));
}

CTolInfoDownload* CTolListView::FindRecord(LONG id) const noexcept { return m_model ? m_model->Find(id) : nullptr; }

void CTolListView::UpdateRow(int index) noexcept
{
    if (CTolInfoDownload* record = RecordOf(index))
    {
        record->UpdateProgress();
        UpdateRemaining(*record);
        RedrawRow(index);
    }
}

void CTolListView::UpdateTransferCells(int index) noexcept
{
    if (CTolInfoDownload* record = RecordOf(index))
    {
        record->UpdateProgress();
        RedrawRow(index);
    }
}

void CTolListView::RedrawRow(int index) noexcept
{
    if (m_window && index >= 0)
        ::SendMessageW(m_window, LVM_REDRAWITEMS, static_cast<WPARAM>(index), index);
}

void CTolListView::SelectOnly(int index) noexcept
{
    if (!m_window || index < 0 || index >= RowCount())
        return;
    DeselectAll();
    LVITEMW state{};
    state.state = state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(m_window, LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&state));
    ::SendMessageW(m_window, LVM_SETSELECTIONMARK, 0, index);
    EnsureVisible(index);
}

int CTolListView::FirstSelected() const noexcept
{
    return m_window ? NextRow(m_window, -1, LVNI_SELECTED) : -1;
}

void CTolListView::EnsureVisible(int index) noexcept
{
    if (m_window && index >= 0)
        ::SendMessageW(m_window, LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), FALSE);
}

// --- sorting ---------------------------------------------------------------------

CTolListView::Selection CTolListView::TakeSelection() const
{
    Selection selection;
    const auto idAt = [&](int row) {
        const CTolInfoDownload* record = RecordOf(row);
        return record ? record->id : -1;
    };
    for (int row = NextRow(m_window, -1, LVNI_SELECTED); row >= 0; row = NextRow(m_window, row, LVNI_SELECTED))
        if (RecordOf(row))
            selection.selected.push_back(idAt(row));
    const int focused = NextRow(m_window, -1, LVNI_FOCUSED);
    const int mark = static_cast<int>(::SendMessageW(m_window, LVM_GETSELECTIONMARK, 0, 0));
    selection.hasFocus = RecordOf(focused) != nullptr;
    selection.focused = idAt(focused);
    selection.hasMark = RecordOf(mark) != nullptr;
    selection.mark = idAt(mark);
    return selection;
}

// Puts selection, focus and mark back on the downloads taken, at their rows now.
// The control tells the panel of every row it changes.
void CTolListView::RestoreSelection(const Selection& selection) noexcept
{
    // Every row selected, as after Ctrl+A: the selection stays as it is.
    if (selection.selected.size() != static_cast<size_t>(RowCount()))
    {
        DeselectAll();
        for (LONG id : selection.selected)
            if (const int row = FindRow(id); row >= 0)
                SetRowState(row, LVIS_SELECTED, LVIS_SELECTED);
    }
    // Row -1 would mean every row to the control.
    if (const int row = selection.hasFocus ? FindRow(selection.focused) : -1; row >= 0)
        SetRowState(row, LVIS_FOCUSED, LVIS_FOCUSED);
    ::SendMessageW(m_window, LVM_SETSELECTIONMARK, 0, selection.hasMark ? FindRow(selection.mark) : -1);
}

bool CTolListView::Sort() noexcept
try
{
    if (m_sortColumn < 0 || !m_window || !m_model)
        return false;
    const int column = m_sortColumn;
    const bool ascending = m_ascending;
    const Selection selection = TakeSelection();
    // The model's answer, not its notification, says whether the rows moved:
    // the notification reaches the list only through a view that follows the
    // model (the panel), and the selection must follow its downloads in any case.
    const bool reordered =
        m_model->Reorder([column, ascending](const CTolInfoDownload& first, const CTolInfoDownload& second) {
            const int result = CompareRecords(first, second, column);
            return ascending ? result < 0 : result > 0;
        });
    if (reordered)
    {
        RestoreSelection(selection);
        ::InvalidateRect(m_window, nullptr, FALSE);
    }
    return true;
}
catch (const std::bad_alloc&)
{
    // The selection could not be taken: the rows stay in the order they had.
    TraceCaughtException(__FILE__, __LINE__);
    return false;
}

void CTolListView::OrderChanged() noexcept
{
    if (m_window)
        ::InvalidateRect(m_window, nullptr, FALSE);
}

bool CTolListView::OutOfOrder(LONG id) const noexcept
{
    const int index = FindRow(id);
    const CTolInfoDownload* record = RecordOf(index);
    if (m_sortColumn < 0 || !record)
        return false;
    const auto before = [&](const CTolInfoDownload* first, const CTolInfoDownload* second) {
        const int result = CompareRecords(*first, *second, m_sortColumn);
        return m_ascending ? result < 0 : result > 0;
    };
    const CTolInfoDownload* previous = RecordOf(index - 1);
    const CTolInfoDownload* next = RecordOf(index + 1);
    return (previous && before(record, previous)) || (next && before(next, record));
}

void CTolListView::SetHeaderArrow(int column, int image) noexcept
{
    if (!m_header || column < 0)
        return;
    HDITEMW item{};
    item.mask = HDI_FORMAT;
    if (!::SendMessageW(m_header, HDM_GETITEMW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&item)))
        return;
    if (image < 0)
    {
        item.fmt &= ~HDF_IMAGE;
    }
    else
    {
        item.mask |= HDI_IMAGE;
        item.fmt |= HDF_IMAGE;
        item.iImage = image;
    }
    ::SendMessageW(m_header, HDM_SETITEMW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&item));
}

void CTolListView::ColumnClick(int column) noexcept
{
    if (column < 0 || column >= kListColumnCount)
        return;
    if (column == m_sortColumn)
    {
        m_ascending = !m_ascending;
    }
    else
    {
        SetHeaderArrow(m_sortColumn, -1);
        m_sortColumn = column;
        m_ascending = true;
    }
    SetHeaderArrow(m_sortColumn, m_ascending ? 0 : 1);
    Sort();
}

// --- refresh ---------------------------------------------------------------------

void CTolListView::Tick() noexcept
{
    // Only the records change; the texts are made when the list paints the
    // visible rows.
    if (!m_model)
        return;
    bool changed = false;
    m_model->Downloads().ForEach([&changed](CTolInfoDownload& record) {
        if ((record.state & kStateTransferring) == 0)
            return;
        if (record.fresh)
            record.fresh = false;
        else
            record.elapsed = TimeSpan::FromDays(record.elapsed.days + 1.0 / kSecondsPerDay);
        UpdateRemaining(record);
        changed = true;
    });
    if (changed && m_window)
        ::InvalidateRect(m_window, nullptr, FALSE);
}

void CTolListView::ReloadTexts() noexcept
try
{
    if (!m_window)
        return;
    for (int column = 0; column < kListColumnCount; ++column)
    {
        std::wstring title = LoadUiStringW(kColumns[column].title);
        LVCOLUMNW info{};
        info.mask = LVCF_TEXT;
        info.pszText = title.data();
        ::SendMessageW(m_window, LVM_SETCOLUMNW, column, reinterpret_cast<LPARAM>(&info));
    }
    UpdateHeaderTips(true);
    for (int row = 0; row < RowCount(); ++row)
    {
        RecordOf(row)->UpdateProgress();
        UpdateRemaining(*RecordOf(row));
    }
    ::InvalidateRect(m_window, nullptr, TRUE);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CTolListView::StretchFirstColumn() noexcept
{
    if (!m_window)
        return;
    RECT client{};
    ::GetClientRect(m_window, &client);
    int width = RectWidth(client);
    for (int column = 1; column < kListColumnCount; ++column)
        width -= static_cast<int>(::SendMessageW(m_window, LVM_GETCOLUMNWIDTH, column, 0));
    if (width > 20 && width != ::SendMessageW(m_window, LVM_GETCOLUMNWIDTH, 0, 0))
        ::SendMessageW(m_window, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(width, 0));
}

void CTolListView::UpdateHeaderTips(bool force)
{
    if (!m_tips || !m_header || !m_window)
        return;
    int widths[kListColumnCount] = {};
    for (int column = 0; column < kListColumnCount; ++column)
        widths[column] = static_cast<int>(::SendMessageW(m_window, LVM_GETCOLUMNWIDTH, column, 0));
    if (!force && std::equal(std::begin(widths), std::end(widths), std::begin(m_tipWidths)))
        return;
    std::copy(std::begin(widths), std::end(widths), std::begin(m_tipWidths));
    RECT header{};
    ::GetClientRect(m_header, &header);
    int left = 0;
    for (int column = 0; column < kListColumnCount; ++column)
    {
        TTTOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = m_header;
        tool.uId = static_cast<UINT_PTR>(column + 1);
        ::SendMessageW(m_tips.get(), TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        std::wstring tip = LoadUiStringW(kColumns[column].tip);
        tool.uFlags = TTF_SUBCLASS | TTF_TRANSPARENT;
        tool.rect = RECT{left, 0, left + widths[column], header.bottom};
        tool.lpszText = tip.data();
        ::SendMessageW(m_tips.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        left += widths[column];
    }
}

// --- notifications ---------------------------------------------------------------

void CTolListView::OnGetDispInfo(NMLVDISPINFOW* info) noexcept
try
{
    LVITEMW& item = info->item;
    const CTolInfoDownload* record = RecordOf(item.iItem);
    if (!record)
        return;
    if ((item.mask & LVIF_IMAGE) && item.iSubItem == 0)
        item.iImage = StateImage(record->state);
    if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0)
    {
        const std::wstring text = CellText(*record, item.iSubItem);
        const size_t length = std::min(text.size(), static_cast<size_t>(item.cchTextMax - 1));
        std::wmemcpy(item.pszText, text.c_str(), length);
        item.pszText[length] = L'\0';
    }
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
    if ((info->item.mask & LVIF_TEXT) && info->item.pszText && info->item.cchTextMax > 0)
        info->item.pszText[0] = L'\0';
}

LRESULT CTolListView::OnFindItem(const NMLVFINDITEMW& find) const noexcept
{
    const LVFINDINFOW& info = find.lvfi;
    if (!(info.flags & (LVFI_STRING | LVFI_PARTIAL)) || !info.psz)
        return -1;
    const int count = RowCount();
    const int length = static_cast<int>(std::wcslen(info.psz));
    const int start = find.iStart >= 0 && find.iStart < count ? find.iStart : 0;
    const int end = (info.flags & LVFI_WRAP) ? start + count : count;
    for (int step = start; step < end; ++step)
    {
        const int row = step % count;
        const unique_bstr& url = RecordOf(row)->url;
        const int urlLength = static_cast<int>(url.length());
        const bool partial = (info.flags & LVFI_PARTIAL) != 0;
        if ((partial ? urlLength >= length : urlLength == length) &&
            ::CompareStringOrdinal(url.get(), length, info.psz, length, TRUE) == CSTR_EQUAL)
            return row;
    }
    return -1;
}

LRESULT CTolListView::OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&)
{
    // Rows paint their own background; erasing them too would make the list
    // flicker at every refresh.
    const HDC dc = reinterpret_cast<HDC>(wParam);
    const HBRUSH brush = ::GetSysColorBrush(COLOR_WINDOW);
    RECT client{};
    ::GetClientRect(m_window, &client);
    const int count = RowCount();
    if (count == 0)
    {
        ::FillRect(dc, &client, brush);
        return 1;
    }
    RECT header{};
    if (m_header && (::GetWindowLongPtrW(m_header, GWL_STYLE) & WS_VISIBLE))
        ::GetWindowRect(m_header, &header);
    const int top = RectHeight(header);
    RECT last{};
    last.left = LVIR_BOUNDS;
    ::SendMessageW(m_window, LVM_GETITEMRECT, static_cast<WPARAM>(count - 1), reinterpret_cast<LPARAM>(&last));
    const RECT areas[] = {
        {client.left, top, 20, client.bottom},
        {client.left, top, client.right, top + 4},
        {client.left, std::max(top, static_cast<int>(last.bottom)), client.right, client.bottom},
        {std::max(client.left, last.right), top, client.right, client.bottom},
    };
    for (const RECT& area : areas)
        if (area.right > area.left && area.bottom > area.top)
            ::FillRect(dc, &area, brush);
    return 1;
}

// --- drawing ---------------------------------------------------------------------

void CTolListView::CreateDrawingResources() noexcept
{
    if (!m_progressBrush)
        m_progressBrush.reset(::CreateSolidBrush(RGB(0x2D, 0x95, 0xE1)));
    if (!m_sectionBrush)
        m_sectionBrush.reset(::CreateSolidBrush(RGB(0x89, 0xD2, 0x8A)));
    if (!m_progressPen)
        m_progressPen.reset(::CreatePen(PS_SOLID, 0, RGB(0x20, 0x30, 0xFF)));
    if (!m_sectionPen)
        m_sectionPen.reset(::CreatePen(PS_SOLID, 0, RGB(0x00, 0x7F, 0x00)));
}

HBRUSH CTolListView::CellBrush(int row) noexcept
{
    if (m_drawHighlighted)
        return ::GetSysColorBrush(m_drawFocused ? COLOR_HIGHLIGHT : COLOR_BTNFACE);
    if (row % 2 == 1)
    {
        if (!m_shadeBrush)
            m_shadeBrush.reset(::CreateSolidBrush(ShadedRowColour(::GetSysColor(COLOR_WINDOW))));
        if (m_shadeBrush)
            return m_shadeBrush.get();
    }
    return ::GetSysColorBrush(COLOR_WINDOW);
}

LRESULT CTolListView::OnCustomDraw(NMLVCUSTOMDRAW* draw) noexcept
try
{
    const int row = static_cast<int>(draw->nmcd.dwItemSpec);
    switch (draw->nmcd.dwDrawStage)
    {
    case CDDS_PREPAINT:
        UpdateHeaderTips(false);
        CreateDrawingResources();
        return CDRF_NOTIFYITEMDRAW | CDRF_NOTIFYPOSTPAINT;
    case CDDS_ITEMPREPAINT:
        m_drawSelected = ::SendMessageW(m_window, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) != 0;
        m_drawFocused = ::GetFocus() == m_window;
        m_drawHighlighted =
            m_drawSelected && (m_drawFocused || (::GetWindowLongPtrW(m_window, GWL_STYLE) & LVS_SHOWSELALWAYS));
        [[fallthrough]];
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
        if (!m_drawSelected)
            draw->clrTextBk = row % 2 == 1 ? ShadedRowColour(::GetSysColor(COLOR_WINDOW)) : ::GetSysColor(COLOR_WINDOW);
        if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT)
            return CDRF_NOTIFYSUBITEMDRAW;
        if (draw->iSubItem == kListColumnFileName || draw->iSubItem == kListColumnSize)
        {
            DrawOwnCell(*draw);
            return CDRF_SKIPDEFAULT;
        }
        return draw->iSubItem == kListColumnProgress ? CDRF_NOTIFYPOSTPAINT : CDRF_DODEFAULT;
    case CDDS_ITEMPOSTPAINT | CDDS_SUBITEM:
        if (draw->iSubItem == kListColumnProgress)
            DrawProgressBar(*draw);
        return CDRF_DODEFAULT;
    case CDDS_POSTPAINT:
        m_shadeBrush.reset();
        return CDRF_DODEFAULT;
    default:
        return CDRF_DODEFAULT;
    }
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
    return CDRF_DODEFAULT;
}

// The File Name and Size cells: an image before the text, the text with an
// ellipsis where it is too long.
void CTolListView::DrawOwnCell(const NMLVCUSTOMDRAW& draw)
{
    const int row = static_cast<int>(draw.nmcd.dwItemSpec);
    const CTolInfoDownload* record = RecordOf(row);
    RECT cell{};
    cell.top = draw.iSubItem;
    cell.left = LVIR_BOUNDS;
    if (!record ||
        !::SendMessageW(m_window, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cell)) ||
        ::IsRectEmpty(&cell))
        return;
    const HDC dc = draw.nmcd.hdc;
    ::FillRect(dc, &cell, CellBrush(row));
    ::SetTextColor(dc, ::GetSysColor(m_drawHighlighted && m_drawFocused ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    const int oldMode = ::SetBkMode(dc, TRANSPARENT);

    RECT text = cell;
    text.left += 2;
    const int iconTop = cell.top + std::max(0, (RectHeight(cell) - kIconSize) / 2);
    UINT format = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;
    if (draw.iSubItem == kListColumnSize)
    {
        const auto images = reinterpret_cast<HIMAGELIST>(::SendMessageW(m_window, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
        if (images)
            ::ImageList_Draw(images, ResumeImage(record->resumable), dc, text.left, iconTop, ILD_TRANSPARENT);
        format |= DT_RIGHT | DT_END_ELLIPSIS;
    }
    else
    {
        if (record->icon)
            ::DrawIconEx(dc, text.left, iconTop, record->icon, kIconSize, kIconSize, 0, nullptr, DI_NORMAL);
        format |= DT_PATH_ELLIPSIS;
    }
    text.left += 18;
    text.right -= 6;
    std::wstring content = CellText(*record, draw.iSubItem);
    ::DrawTextW(dc, content.data(), static_cast<int>(content.size()), &text, format);
    ::SetBkMode(dc, oldMode);
}

void CTolListView::FillBar(HDC dc, const RECT& area, bool sections) noexcept
{
    if (area.right <= area.left || area.bottom <= area.top)
        return;
    if (m_gradientFill)
    {
        const COLORREF top = sections ? RGB(0x00, 0xDE, 0x7F) : RGB(0x00, 0xC4, 0xFF);
        const COLORREF bottom = sections ? RGB(0x00, 0xA7, 0x60) : RGB(0x00, 0x93, 0xA7);
        const auto vertex = [](LONG x, LONG y, COLORREF colour) {
            return TRIVERTEX{x, y, static_cast<COLOR16>(GetRValue(colour) << 8),
                             static_cast<COLOR16>(GetGValue(colour) << 8), static_cast<COLOR16>(GetBValue(colour) << 8),
                             0};
        };
        TRIVERTEX vertices[] = {vertex(area.left, area.top, top), vertex(area.right, area.bottom, bottom)};
        GRADIENT_RECT rect{0, 1};
        if (m_gradientFill(dc, vertices, 2, &rect, 1, GRADIENT_FILL_RECT_V))
            return;
    }
    ::FillRect(dc, &area, sections ? m_sectionBrush.get() : m_progressBrush.get());
}

// The progress cell: a bar left of the percentage, composed off-screen. A
// download with sections gets two bands, the whole transfer above and every
// section below, when the bar is wide enough to show them.
void CTolListView::DrawProgressBar(const NMLVCUSTOMDRAW& draw) noexcept
{
    const int row = static_cast<int>(draw.nmcd.dwItemSpec);
    const CTolInfoDownload* record = RecordOf(row);
    RECT cell{};
    cell.top = draw.iSubItem;
    cell.left = LVIR_BOUNDS;
    if (!record || record->progress < 0.0 ||
        !::SendMessageW(m_window, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cell)) ||
        ::IsRectEmpty(&cell))
        return;
    const HDC dc = draw.nmcd.hdc;
    SIZE percent{};
    const int textWidth = ::GetTextExtentPoint32W(dc, L"100%", 4, &percent) ? percent.cx : 33;
    const int left = cell.left + 6;
    const int barWidth = cell.right - 10 - textWidth - left;
    const int height = RectHeight(cell);
    if (barWidth < 4 || height <= 0)
        return;

    const int bitmapWidth = barWidth + 2;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = bitmapWidth;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    unique_hdc memory(::CreateCompatibleDC(dc));
    unique_hbitmap bitmap(::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!memory || !bitmap)
        return;
    select_object selectBitmap(memory.get(), bitmap.get());
    const RECT all{0, 0, bitmapWidth, height};
    ::FillRect(memory.get(), &all, CellBrush(row));

    const HDC mdc = memory.get();
    select_object selectBrush(mdc, ::GetStockObject(NULL_BRUSH));
    const auto frameAndFill = [&](const RECT& frame, HPEN pen, double fraction) {
        select_object selectPen(mdc, pen);
        ::Rectangle(mdc, frame.left, frame.top, frame.right, frame.bottom);
        const int inner = RectWidth(frame) - 2;
        const RECT fill{frame.left + 1, frame.top + 1, frame.left + 1 + static_cast<int>(inner * fraction),
                        frame.bottom - 1};
        FillBar(mdc, fill, false);
    };
    const double fraction = std::min(record->progress, 1.0);
    const RECT bar{0, 0, bitmapWidth - 2, height};
    const std::vector<SectionInfo>& sections = record->sections;
    if (sections.empty() || static_cast<size_t>(RectWidth(bar)) < 2 * sections.size())
    {
        frameAndFill(RECT{bar.left, bar.top + 4, bar.right, bar.bottom - 4}, m_progressPen.get(), fraction);
    }
    else
    {
        const int middle = height / 2;
        frameAndFill(RECT{bar.left, 2, bar.right, middle}, m_progressPen.get(), fraction);
        const RECT band{bar.left, middle + 1, bar.right, bar.bottom - 3};
        select_object selectPen(mdc, m_sectionPen.get());
        ::Rectangle(mdc, band.left, band.top, band.right, band.bottom);
        // Section edges from the bytes before and in each section, so that
        // sections of unequal length get their share of the band.
        const double size = std::max<double>(record->totalSize, 1.0);
        const int width = RectWidth(band);
        double before = 0.0;
        int previous = band.left;
        for (size_t i = 0; i < sections.size() && sections[i].length != 0; ++i)
        {
            const SectionInfo& section = sections[i];
            before += section.length;
            const bool lastSection = i + 1 == sections.size();
            int edge = lastSection ? band.right - 1 : band.left + static_cast<int>(before / size * width);
            edge = std::clamp(edge, previous, static_cast<int>(band.right - 1));
            if (!lastSection)
            {
                ::MoveToEx(mdc, edge, band.top, nullptr);
                ::LineTo(mdc, edge, band.bottom);
            }
            const double loaded = std::min(section.loaded, section.length);
            const int filled = static_cast<int>(loaded / section.length * std::max(edge - previous - 1, 0));
            FillBar(mdc, RECT{previous + 1, band.top + 1, previous + 1 + filled, band.bottom - 1}, true);
            previous = edge;
        }
    }

    const BLENDFUNCTION blend{AC_SRC_OVER, 0, 0xA4, 0};
    if (!m_alphaBlend || !m_alphaBlend(dc, left, cell.top, bitmapWidth, height, mdc, 0, 0, bitmapWidth, height, blend))
        ::BitBlt(dc, left, cell.top, bitmapWidth, height, mdc, 0, 0, SRCCOPY);
}

}  // namespace tdm
