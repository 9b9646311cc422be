// The help viewer stand-in: records every HtmlHelpA call and answers with a
// window of its own or with none, as the test asks.
#include <windows.h>

#include <string>
#include <vector>

namespace {

struct Call
{
    HWND owner;
    std::string file;
    UINT command;
    DWORD_PTR data;
};

std::vector<Call> g_calls;
bool g_answerWithWindow = true;
HWND g_window = nullptr;

}  // namespace

extern "C" {

// The viewer's entry point, as the real one is called.
HWND WINAPI HtmlHelpA(HWND owner, LPCSTR file, UINT command, DWORD_PTR data)
{
    g_calls.push_back({owner, file ? file : "", command, data});
    if (!g_answerWithWindow)
        return nullptr;
    if (!g_window || !::IsWindow(g_window))
        g_window = ::CreateWindowExA(0, "STATIC", "help viewer", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr,
                                     nullptr);
    return g_window;
}

void WINAPI StandInSetAnswer(BOOL withWindow) { g_answerWithWindow = withWindow != FALSE; }

int WINAPI StandInCallCount() { return static_cast<int>(g_calls.size()); }

// Copies call `index`; false when there is no such call.
BOOL WINAPI StandInGetCall(int index, HWND* owner, char* file, int fileSize, UINT* command, DWORD_PTR* data)
{
    if (index < 0 || index >= static_cast<int>(g_calls.size()) || fileSize <= 0)
        return FALSE;
    const Call& call = g_calls[static_cast<size_t>(index)];
    *owner = call.owner;
    lstrcpynA(file, call.file.c_str(), fileSize);
    *command = call.command;
    *data = call.data;
    return TRUE;
}

void WINAPI StandInReset()
{
    g_calls.clear();
    g_answerWithWindow = true;
    if (g_window && ::IsWindow(g_window))
        ::DestroyWindow(g_window);
    g_window = nullptr;
}

}  // extern "C"
