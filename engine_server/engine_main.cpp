// tdm-engine.exe: the download engine as a local COM server, one per user
// session.
//
//   tdm-engine.exe /RegServer     registers the class (LocalServer32) and the
//                                 type library
//   tdm-engine.exe /UnregServer   removes both
//   tdm-engine.exe -Embedding     (started by COM) serves the engine
//   tdm-engine.exe /Quit          ends the engine of this session cleanly (it
//                                 saves its table and stops aria2) and waits
//                                 for it; exit code 2 when an engine runs
//                                 that does not end (an older one)
//
// Every CoCreateInstance of every client gets the one engine object
// (REGCLS_MULTIPLEUSE with a singleton class object). The main thread is the
// process's single-threaded apartment: it serves the calls, polls aria2 once a
// second and hands the events to the clients' delivery threads. The process ends a short while after the last
// client let go of the engine (HKCU\Software\Tolvane\Engine\ExitDelay, in
// milliseconds, default 5000).
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "engine_h.h"
#include "engine_server/engine_object.h"
#include "engine_server/low_rights.h"
#include "framework/com_ptr.h"
#include "framework/error.h"
#include "framework/module.h"
#include "framework/registrar.h"
#include "framework/unique_any.h"

using namespace tdm;
using namespace tdm::engine;

namespace {

DWORD g_idleSince = 0;
DWORD g_exitDelay = 5000;
// How often aria2's view is read for progress (state changes come at once
// through aria2's notifications).
DWORD g_pollInterval = 1000;

// One engine per session holds this mutex while it serves; setting the event
// asks it to end.
constexpr wchar_t kEngineMutex[] = L"Local\\TolvaneDownloadEngine";
constexpr wchar_t kQuitEvent[] = L"Local\\TolvaneDownloadEngineQuit";
constexpr DWORD kQuitTimeoutMs = 30000;

bool HasSwitch(const std::wstring& commandLine, const wchar_t* name)
{
    std::wstring lower;
    for (wchar_t c : commandLine)
        lower += static_cast<wchar_t>(std::towlower(c));
    for (const wchar_t* prefix : {L"/", L"-"})
        if (lower.find(prefix + std::wstring(name)) != std::wstring::npos)
            return true;
    return false;
}

HRESULT Register(bool registering) noexcept
try
{
    const CModule& module = CModule::Instance();
    const std::wstring path = module.ModulePath();
    if (registering)
    {
        RETURN_IF_FAILED(RunRegistryScriptResource(module.ModuleInstance(), 101, true, {{L"COMMAND", L"\"" + path + L"\""}}));
        com_ptr<ITypeLib> library;
        RETURN_IF_FAILED(::LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, library.put()));
        return RegisterLowRightsAccess(path);
    }
    (void)LOG_IF_FAILED(UnregisterLowRightsAccess());
    // The library was registered for the bitness of this executable.
#ifdef _WIN64
    constexpr SYSKIND kSysKind = SYS_WIN64;
#else
    constexpr SYSKIND kSysKind = SYS_WIN32;
#endif
    (void)LOG_IF_FAILED(::UnRegisterTypeLib(LIBID_TolDownloadEngineLib, 1, 0, LOCALE_NEUTRAL, kSysKind));
    return RunRegistryScriptResource(module.ModuleInstance(), 101, false, {{L"COMMAND", L"\"" + path + L"\""}});
}
catch (...)
{
    return HResultFromCaughtException();
}

void CALLBACK OnPoll(HWND, UINT, UINT_PTR, DWORD) noexcept
{
    CEngineServer::Instance().Core().Poll();
}

void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD) noexcept
{
    // Clients that kept an event too long lose their turn.
    CEngineServer::Instance().AdvanceEvents();
    // Idle: no client holds the engine or an option object.
    if (CModule::Instance().LockCount() > 0)
    {
        g_idleSince = 0;
        return;
    }
    const DWORD now = ::GetTickCount();
    if (g_idleSince == 0)
        g_idleSince = now;
    else if (now - g_idleSince >= g_exitDelay)
        ::PostQuitMessage(0);
}

// Ends the running engine of this session (an installer replacing or removing
// the files calls it) and waits until it has let go of its mutex. S_FALSE when
// none runs; ERROR_TIMEOUT when one runs and does not end.
HRESULT QuitRunningEngine() noexcept
{
    const unique_handle single(::CreateMutexW(nullptr, FALSE, kEngineMutex));
    RETURN_LAST_ERROR_IF(!single);
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (const unique_handle quit{::OpenEventW(EVENT_MODIFY_STATE, FALSE, kQuitEvent)})
        ::SetEvent(quit.get());
    const DWORD waited = ::WaitForSingleObject(single.get(), existed ? kQuitTimeoutMs : 0);
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_TIMEOUT), waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED);
    ::ReleaseMutex(single.get());
    return existed ? S_OK : S_FALSE;
}

HRESULT Serve() noexcept
{
    // One engine per session: a second process started while another one is
    // ending waits for it.
    const unique_handle single(::CreateMutexW(nullptr, FALSE, kEngineMutex));
    RETURN_LAST_ERROR_IF(!single);
    const DWORD waited = ::WaitForSingleObject(single.get(), 30000);
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_TIMEOUT), waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED);
    // Made as soon as this process is the session's engine, so that a quit
    // request while it starts is not lost (auto-reset: one request, one end).
    const unique_handle quit(::CreateEventW(nullptr, FALSE, FALSE, kQuitEvent));

    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tolvane\\Engine", 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    {
        const auto read = [&key](const wchar_t* name, DWORD& value) {
            DWORD stored = 0, size = sizeof(stored), type = 0;
            if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&stored), &size) ==
                    ERROR_SUCCESS && type == REG_DWORD)
                value = stored;
        };
        read(L"ExitDelay", g_exitDelay);
        read(L"PollInterval", g_pollInterval);
        g_pollInterval = std::clamp<DWORD>(g_pollInterval, 100, 60000);
    }
    CEngineCore& core = CEngineServer::Instance().Core();
    // Without aria2 the engine still serves: every call reports the failure.
    (void)LOG_IF_FAILED(core.Init());

    com_ptr<IUnknown> factory;
    RETURN_IF_FAILED(CModule::Instance().GetClassObject(CLSID_DownloadEngine, IID_IUnknown, factory.put_void()));
    DWORD cookie = 0;
    RETURN_IF_FAILED(::CoRegisterClassObject(CLSID_DownloadEngine, factory.get(), CLSCTX_LOCAL_SERVER,
                                             REGCLS_MULTIPLEUSE, &cookie));
    const UINT_PTR poll = ::SetTimer(nullptr, 0, g_pollInterval, &OnPoll);
    const UINT_PTR tick = ::SetTimer(nullptr, 0, 1000, &OnTick);
    HANDLE waitFor[] = {quit.get()};
    bool serving = true;
    while (serving)
    {
        const DWORD woken = ::MsgWaitForMultipleObjects(quit ? 1 : 0, waitFor, FALSE, INFINITE, QS_ALLINPUT);
        if (quit && woken == WAIT_OBJECT_0)
            break;
        MSG message;
        while (serving && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        {
            if (message.message == WM_QUIT)
                serving = false;
            else if (!message.hwnd && message.message == CEngineServer::kDeliveryMessage)
                CEngineServer::Instance().AdvanceEvents();
            // A download started, paused, stopped, completed or failed in
            // aria2: its state goes to the clients now, not at the next tick.
            else if (!message.hwnd && message.message == kAria2NotifiedMessage)
            {
                core.Backend().NotificationTaken();
                core.Poll();
            }
            else
            {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
    }
    ::KillTimer(nullptr, tick);
    ::KillTimer(nullptr, poll);
    (void)LOG_IF_FAILED(::CoRevokeClassObject(cookie));
    CEngineServer::Instance().DisconnectAll();
    core.Shutdown();
    ::ReleaseMutex(single.get());
    return S_OK;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    CModule::Instance().Init(instance, LIBID_TolDownloadEngineLib, kEngineClasses, 1);
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    const std::wstring commandLine = ::GetCommandLineW();
    HRESULT hr = S_OK;
    if (HasSwitch(commandLine, L"quit"))
    {
        hr = QuitRunningEngine();
        ::CoUninitialize();
        return SUCCEEDED(hr) ? 0 : 2;
    }
    if (HasSwitch(commandLine, L"unregserver"))
        hr = Register(false);
    else if (HasSwitch(commandLine, L"regserver"))
        hr = Register(true);
    else
        hr = Serve();
    (void)CModule::Instance().ReleaseIfUnused();
    ::CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}
