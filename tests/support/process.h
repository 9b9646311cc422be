// Runs another program of the Wine prefix and collects its output.
#pragma once

#include <windows.h>
#include <string>

namespace tdm::test {

struct ProcessResult
{
    DWORD exitCode = static_cast<DWORD>(-1);
    std::string output;  // standard output and standard error, as written
};

// Runs `commandLine` (for example L"regsvr32 /s C:\\x.dll"), waits at most
// `timeoutMs` and returns its exit code and output.
// The new process inherits the Unix locale of this one (Wine ignores LC_ALL in
// the Windows environment), so it runs in the test program's locale.
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// The Windows path of the built tdm.dll (environment TDM_DLL_PATH).
std::wstring TdmDllPath();

}  // namespace tdm::test
