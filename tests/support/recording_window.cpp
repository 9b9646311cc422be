#include "support/recording_window.h"

#include "support/this_module.h"

namespace tdm::test {

namespace {

const wchar_t kRecordingClass[] = L"TolvaneTestRecordingWindow";

}  // namespace

RecordingWindow::RecordingWindow(UINT recorded) : m_recorded(recorded)
{
    // Room for the messages of a test, so that recording does not allocate
    // (tests make allocations fail around calls that send messages).
    m_received.reserve(64);
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    info.lpfnWndProc = &WindowProc;
    info.hInstance = ThisModule();
    info.lpszClassName = kRecordingClass;
    ::RegisterClassExW(&info);
    m_window = ::CreateWindowExW(WS_EX_TOOLWINDOW, kRecordingClass, L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 ThisModule(), this);
}

RecordingWindow::~RecordingWindow()
{
    if (m_window)
        ::DestroyWindow(m_window);
}

std::vector<RecordingWindow::Message> RecordingWindow::Received() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return m_received;
}

std::vector<WPARAM> RecordingWindow::WParams() const
{
    std::vector<WPARAM> result;
    for (const Message& message : Received())
        result.push_back(message.wParam);
    return result;
}

LRESULT CALLBACK RecordingWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        ::SetWindowLongPtrW(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<RecordingWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == self->m_recorded)
    {
        {
            std::lock_guard<tdm::srw_lock> guard(self->m_lock);
            self->m_received.push_back({wParam, lParam});
        }
        if (self->m_handler)
            self->m_handler(wParam, lParam);
        return 0;
    }
    if (self && message == WM_NCDESTROY)
    {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->m_window = nullptr;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace tdm::test
