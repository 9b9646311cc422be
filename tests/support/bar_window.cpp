#include "support/bar_window.h"

#include <commctrl.h>

namespace tdm::test {

void AddRow(const EngineStandIn& engine, long id, const char* url, const char* name, long state, long size,
            long loaded, const char* folder)
{
    engine.AddListRow({id, url, folder, name, state, 3, 0.0, size, 0, 1, 0, loaded, 100, 100, VARIANT{}});
}

BarWindow::BarWindow()
{
    m_thread.Run([this] {
        m_thread.Browser().HostBars(true);
        m_boxes.emplace();
    });
}

BarWindow::~BarWindow()
{
    m_thread.Run([this] { m_boxes.reset(); });
}

void BarWindow::Show(bool show)
{
    m_thread.Run([&] {
        wchar_t text[40] = {};
        ::StringFromGUID2(CLSID_TolBand, text, 40);
        VARIANT clsid{}, flag{};
        V_VT(&clsid) = VT_BSTR;
        V_BSTR(&clsid) = ::SysAllocString(text);
        V_VT(&flag) = VT_BOOL;
        V_BOOL(&flag) = show ? VARIANT_TRUE : VARIANT_FALSE;
        m_thread.Browser().ShowBrowserBar(&clsid, &flag, nullptr);
        ::VariantClear(&clsid);
    });
}

HWND BarWindow::Panel()
{
    HWND panel = nullptr;
    OnThread([&](IDeskBand* band) {
        if (band && FAILED(band->GetWindow(&panel)))
            panel = nullptr;
    });
    return panel;
}

std::vector<std::wstring> BarWindow::Rows()
{
    std::vector<std::wstring> rows;
    const HWND list = List();
    m_thread.Run([&] {
        Pump();
        const int count = ListView_GetItemCount(list);
        for (int i = 0; i < count; ++i)
        {
            std::wstring row;
            for (int column : {0, 1, 2, 3})
            {
                wchar_t text[300] = {};
                ListView_GetItemText(list, i, column, text, 300);
                row += (column ? L"|" : L"") + std::wstring(text);
            }
            rows.push_back(row);
        }
    });
    return rows;
}

void BarWindow::AnswerNext(std::initializer_list<int> answers)
{
    m_thread.Run([&] {
        for (int answer : answers)
            m_boxes->AnswerNext(answer);
    });
}

std::vector<RecordedBox> BarWindow::Boxes()
{
    std::vector<RecordedBox> boxes;
    m_thread.Run([&] {
        Pump();
        boxes = m_boxes->Boxes();
        m_boxes->Clear();
    });
    return boxes;
}

void BarWindow::Pump()
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        ::DispatchMessageW(&message);
}

}  // namespace tdm::test
