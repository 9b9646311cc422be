#include "support/sta_thread.h"

#include "support/this_module.h"

#include <objbase.h>
#include <cstdio>

namespace tdm::test {

namespace {

constexpr UINT kRunTask = WM_APP + 1;
const wchar_t kDispatcherClass[] = L"TolvaneTestStaDispatcher";

}  // namespace

struct StaThread::Task
{
    std::function<void()> body;
    unique_handle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

bool WaitPumping(HANDLE handle, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    for (;;)
    {
        const DWORD elapsed = ::GetTickCount() - start;
        const DWORD remaining = timeoutMs == INFINITE ? INFINITE : (elapsed >= timeoutMs ? 0 : timeoutMs - elapsed);
        const DWORD result = ::MsgWaitForMultipleObjectsEx(1, &handle, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (result == WAIT_OBJECT_0)
            return true;
        if (result != WAIT_OBJECT_0 + 1)
            return false;
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

StaThread::StaThread() : m_ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread.reset(::CreateThread(nullptr, 0, &Main, this, 0, &m_id));
    if (m_thread)
        WaitPumping(m_ready.get(), 30000);
    if (!m_dispatcher)
        std::fprintf(stderr, "StaThread: the thread did not start\n");
}

StaThread::~StaThread()
{
    if (m_dispatcher)
        ::PostMessageW(m_dispatcher, WM_CLOSE, 0, 0);
    if (m_thread)
        WaitPumping(m_thread.get(), 30000);
}

bool StaThread::Run(std::function<void()> task, DWORD timeoutMs)
{
    if (!m_dispatcher)
        return false;
    auto shared = std::make_shared<Task>();
    shared->body = std::move(task);
    auto* posted = new std::shared_ptr<Task>(shared);
    if (!::PostMessageW(m_dispatcher, kRunTask, 0, reinterpret_cast<LPARAM>(posted)))
    {
        delete posted;
        return false;
    }
    return WaitPumping(shared->done.get(), timeoutMs);
}

DWORD WINAPI StaThread::Main(void* parameter)
{
    auto* self = static_cast<StaThread*>(parameter);
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    info.lpfnWndProc = &DispatcherProc;
    info.hInstance = ThisModule();
    info.lpszClassName = kDispatcherClass;
    ::RegisterClassExW(&info);
    // A window rather than thread messages: modal loops on the thread (dialogs,
    // menus) dispatch window messages but drop thread messages.
    self->m_dispatcher = ::CreateWindowExW(0, kDispatcherClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                           ThisModule(), nullptr);
    ::SetEvent(self->m_ready.get());
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0)
    {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (SUCCEEDED(init))
        ::CoUninitialize();
    return 0;
}

LRESULT CALLBACK StaThread::DispatcherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case kRunTask:
    {
        std::unique_ptr<std::shared_ptr<Task>> posted(reinterpret_cast<std::shared_ptr<Task>*>(lParam));
        const std::shared_ptr<Task> task = *posted;
        try
        {
            task->body();
        }
        catch (...)
        {
            std::fprintf(stderr, "StaThread: a task threw\n");
        }
        ::SetEvent(task->done.get());
        return 0;
    }
    case WM_CLOSE:
        ::DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace tdm::test
