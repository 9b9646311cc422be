#include "support/process.h"

#include <cstdlib>
#include <vector>

#include "framework/unique_any.h"

namespace tdm::test {

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs)
{
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    unique_handle readEnd, writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0))
        return result;
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return result;
    unique_handle process(info.hProcess), thread(info.hThread);
    writeEnd.reset();

    char buffer[4096];
    DWORD read = 0;
    const DWORD start = ::GetTickCount();
    for (;;)
    {
        DWORD available = 0;
        if (::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0)
        {
            if (::ReadFile(readEnd.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
                result.output.append(buffer, read);
            continue;
        }
        if (::WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0)
        {
            while (::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
                   ::ReadFile(readEnd.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
                result.output.append(buffer, read);
            break;
        }
        if (::GetTickCount() - start > timeoutMs)
        {
            ::TerminateProcess(process.get(), 259);
            result.output += "\n[timed out]";
            break;
        }
    }
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

std::wstring TdmDllPath()
{
    const wchar_t* path = ::_wgetenv(L"TDM_DLL_PATH");
    return path ? path : L"";
}

}  // namespace tdm::test
