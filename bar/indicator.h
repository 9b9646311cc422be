// The download indicator: every download of the toolbar frame as a thin column
// of LED-like segments, filled from the bottom with its progress and coloured
// by its state. Hovering a column shows the download's details, a right click
// its commands, a double click selects it in the explorer bar. Columns that do
// not fit scroll with two small buttons and the mouse wheel.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "downloads/download_store.h"
#include "engine/download_record.h"
#include "framework/unique_any.h"
#include "framework/window.h"

namespace tdm {

// Geometry and colours of the columns.
namespace indicator {

inline constexpr int kColumnPitch = 8;   // a column and its gap
inline constexpr int kSegmentWidth = 6;
inline constexpr int kSegmentPitch = 3;  // a segment and its gap
inline constexpr int kButtonWidth = 14;

struct Colours
{
    COLORREF filled;
    COLORREF empty;
};
// The colours of a download in state `state`.
Colours ColoursOf(LONG state) noexcept;
// Segments of a column `height` pixels high.
inline int SegmentCount(int height) noexcept { return height > 0 ? height / kSegmentPitch : 0; }
// Filled segments of `segments` for a download: none when complete or of
// unknown progress.
int FilledSegments(int segments, const CTolInfoDownload& download) noexcept;
// Whether `count` columns need the scroll buttons in a window `width` wide.
inline bool NeedsScrollButtons(int width, size_t count) noexcept
{
    return width < static_cast<int>(count) * kColumnPitch + 2;
}
// The tool tip text of a download.
std::wstring TipText(const CTolInfoDownload& download);

}  // namespace indicator

class CTolDownloadIndicator : public CWindowImplT<CTolDownloadIndicator>
{
public:
    // The downloads shown (every download of the model, scrolled or not).
    size_t Count() const noexcept { return m_downloads ? m_downloads->Count() : 0; }
    static constexpr UINT kBackCommand = 483;
    static constexpr UINT kForwardCommand = 425;
    static constexpr UINT_PTR kBackTimer = 1000;
    static constexpr UINT_PTR kBackRepeatTimer = 1001;
    static constexpr UINT_PTR kForwardTimer = 2000;
    static constexpr UINT_PTR kForwardRepeatTimer = 2001;

    CTolDownloadIndicator() noexcept;
    ~CTolDownloadIndicator();

    static const wchar_t* ClassName() noexcept { return L"TolvaneDownloadIndicator"; }
    static WNDCLASSEXW ClassInfo() noexcept;

    // The frame's downloads, read on every paint; the frame owns them.
    void SetDownloads(const CDownloadStore* downloads) noexcept { m_downloads = downloads; }
    // After a change of the downloads: -1 all of them, else the column of `id`.
    void Refresh(LONG id) noexcept;
    // The engine's log setting decides the menu's log entry; the frame answers.
    void SetLogQuery(bool (*query)(void* context), void* context) noexcept
    {
        m_logQuery = query;
        m_logContext = context;
    }

    int FirstColumn() const noexcept { return m_first; }
    LONG HotDownload() const noexcept { return m_hot; }
    bool ButtonsShown() const noexcept { return m_buttonsShown; }
    HWND BackButton() const noexcept { return m_back.get(); }
    HWND ForwardButton() const noexcept { return m_forward.get(); }
    const RECT& Content() const noexcept { return m_content; }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_CREATE, OnCreate)
        TDM_ON_MESSAGE(WM_DESTROY, OnDestroy)
        TDM_ON_MESSAGE(WM_SIZE, OnSize)
        TDM_ON_MESSAGE(WM_PAINT, OnPaint)
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
        TDM_ON_MESSAGE(WM_MOUSEMOVE, OnMouseMove)
        TDM_ON_MESSAGE(WM_MOUSELEAVE, OnMouseLeave)
        TDM_ON_MESSAGE(WM_MOUSEWHEEL, OnMouseWheel)
        TDM_ON_MESSAGE(WM_LBUTTONDBLCLK, OnDoubleClick)
        TDM_ON_MESSAGE(WM_CONTEXTMENU, OnContextMenu)
        TDM_ON_MESSAGE(WM_TIMER, OnTimer)
        TDM_ON_MESSAGE(WM_COMMAND, OnCommand)
    TDM_END_MESSAGE_MAP()

    // Scrolls one column back (toward the first download) or forward; false
    // when it cannot.
    bool ScrollBack() noexcept;
    bool ScrollForward() noexcept;

private:
    class CScrollButton;
    class CWheelForwarder;

    LRESULT OnCreate(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT OnSize(UINT, WPARAM, LPARAM lParam, bool&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM lParam, bool&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnMouseWheel(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnDoubleClick(UINT, WPARAM wParam, LPARAM, bool&);
    LRESULT OnContextMenu(UINT, WPARAM, LPARAM lParam, bool&);
    LRESULT OnTimer(UINT, WPARAM wParam, LPARAM, bool& handled);
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM lParam, bool&);

    const CTolInfoDownload* DownloadAt(int index) const noexcept;
    // The index of the column under client point `point`, or -1.
    int ColumnAt(POINT point) const noexcept;
    void Layout(int width, int height) noexcept;
    void UpdateButtons() noexcept;
    bool CanScrollForward() const noexcept;
    void MoveHot(int delta) noexcept;
    void DrawColumn(HDC dc, int index) noexcept;
    void DrawSegment(HDC dc, int x, int y, COLORREF colour) noexcept;
    // The segment of `colour` composed once (gradient or solid) in a memory
    // device context kept for the indicator's life; null when it cannot be made.
    HDC SegmentOf(HDC dc, COLORREF colour) noexcept;
    void ShowTip(POINT screen) noexcept;
    void HideTip() noexcept;
    // A scroll button was pressed (`forward`), released, or the mouse left or
    // came back onto it while pressed.
    void StartScrollTimer(bool forward, bool repeating) noexcept;
    void StopScrollTimer() noexcept;
    friend class CScrollButton;

    const CDownloadStore* m_downloads = nullptr;
    RECT m_content{};
    int m_first = 0;
    LONG m_hot = -1;
    unique_hwnd m_back;
    unique_hwnd m_forward;
    unique_himagelist m_backImages;
    unique_himagelist m_forwardImages;
    std::unique_ptr<CScrollButton> m_backHandler;
    std::unique_ptr<CScrollButton> m_forwardHandler;
    bool m_buttonsShown = false;
    UINT_PTR m_timer = 0;
    bool m_timerForward = false;
    bool m_pressed = false;
    unique_hwnd m_tip;
    std::wstring m_tipText;
    // Whether the tip is up: only then does a refresh of its download update it.
    bool m_tipShown = false;
    std::unique_ptr<CWheelForwarder> m_wheel;
    bool m_tracking = false;
    bool (*m_logQuery)(void*) = nullptr;
    void* m_logContext = nullptr;
    unique_hmodule m_msimg32;
    decltype(&::GradientFill) m_gradientFill = nullptr;
    decltype(&::AlphaBlend) m_alphaBlend = nullptr;

    // A composed segment: its bitmap selected into its memory device context
    // until the entry goes.
    struct Segment
    {
        COLORREF colour = 0;
        unique_hdc dc;
        unique_hbitmap bitmap;
        HGDIOBJ previous = nullptr;
        Segment() = default;
        Segment(Segment&&) = default;
        ~Segment()
        {
            if (dc && previous)
                ::SelectObject(dc.get(), previous);
        }
    };
    std::vector<Segment> m_segments;  // one per colour in use (a handful)
};

}  // namespace tdm
