// The engine's benchmark program, run by tools/bench_engine.sh under Wine with
// the real engine registered and the engine tests' HTTP server on loopback:
//     bench_engine.exe <port> <folder> <runs> <idle-seconds>
// <folder> is an empty Windows folder for the files. Each line of output is a
// figure the script puts into its table:
//   tiny <ms>        from AddUrl returning until the 1 KB file is whole at its
//                    place (its size reached, aria2's control file gone)
//   large <s>        the same for the 400 MB file
//   sections <s>     the same for the 12 MB file of the throttled path
//   add1000 <ms>     AddUrl per call, mean of 1,000 in a row (paused adds)
//   add10000 <ms>    the same for the 1,000 adds that bring the table to 10,000
//   mark <name>      the script reads the engine process now (memory, CPU);
//                    the program waits <idle-seconds> and the settling time
//                    after "mark idle"
// Files are polled every millisecond, which bounds the error of the times.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine_link.h"
#include "framework/automation.h"
#include "framework/error.h"

using namespace tdm;

namespace {

// How long the engine is left to settle before its idle CPU is read.
constexpr DWORD kSettleMs = 5000;

double Now()
{
    static LARGE_INTEGER frequency{};
    if (!frequency.QuadPart)
        ::QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool Whole(const std::string& path, ULONGLONG size)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    const ULONGLONG have = (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return have == size && ::GetFileAttributesA((path + ".aria2").c_str()) == INVALID_FILE_ATTRIBUTES;
}

// Milliseconds from AddUrl returning until `url` is whole in `folder` under
// the name `name` the address gives (-1 after `limitMs`).
double TimeToWhole(const CEngine& engine, const std::string& url, const std::string& folder, const char* name,
                   ULONGLONG size, double limitMs)
{
    const std::string path = folder + "\\" + name;
    engine.AddUrl(WideFromUtf8(url), WideFromUtf8(folder + "\\"), nullptr, true, L"");
    const double start = Now();
    while (!Whole(path, size))
    {
        if (Now() - start > limitMs)
            return -1;
        ::Sleep(1);
    }
    return Now() - start;
}

void Mark(const char* name, DWORD waitMs)
{
    std::printf("mark %s\n", name);
    std::fflush(stdout);
    ::Sleep(waitMs);
}

double MeanAddMs(const CEngine& engine, const std::string& base, const std::string& folder, int first, int count)
{
    const double start = Now();
    for (int i = first; i < first + count; ++i)
        engine.AddUrl(WideFromUtf8(base + "/file/tiny.bin?n=" + std::to_string(i)), WideFromUtf8(folder), nullptr,
                      false, L"");
    return (Now() - start) / count;
}

}  // namespace

int main(int argc, char** argv)
try
{
    if (argc < 5)
    {
        std::fprintf(stderr, "usage: bench_engine <port> <folder> <runs> <idle-seconds>\n");
        return 2;
    }
    const std::string base = std::string("http://127.0.0.1:") + argv[1], folder = argv[2];
    const int runs = std::max(1, std::atoi(argv[3]));
    const DWORD idleMs = static_cast<DWORD>(std::max(1, std::atoi(argv[4]))) * 1000;
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    {
        const CEngine engine = CEngine::Create();
        (void)engine.GetTrafficMode();  // the engine and its aria2 are up
        Mark("empty", 2000);
        for (int run = 0; run < runs; ++run)
        {
            const std::string n = std::to_string(run);
            std::printf("tiny %.1f\n", TimeToWhole(engine, base + "/file/tiny.bin?r" + n, folder + "\\tiny" + n,
                                                   "tiny.bin", 1024, 30000));
            std::printf("large %.2f\n", TimeToWhole(engine, base + "/file/large.bin?r" + n, folder + "\\large" + n,
                                                    "large.bin", 400ULL << 20, 600000) / 1000);
            ::DeleteFileA((folder + "\\large" + n + "\\large.bin").c_str());
            std::printf("sections %.2f\n", TimeToWhole(engine, base + "/slow/sections.bin?r" + n,
                                                       folder + "\\sections" + n, "sections.bin", 12000000, 600000) /
                                                1000);
            std::fflush(stdout);
        }
        const std::string adds = folder + "\\adds\\";
        std::printf("add1000 %.2f\n", MeanAddMs(engine, base, adds, 0, 1000));
        std::fflush(stdout);
        // The script lets the engine settle (the table is saved 2 s after the
        // last add) before it reads the idle CPU.
        Mark("idle", idleMs + kSettleMs + 1000);
        (void)MeanAddMs(engine, base, adds, 1000, 8000);
        std::printf("add10000 %.2f\n", MeanAddMs(engine, base, adds, 9000, 1000));
        std::fflush(stdout);
    }
    ::CoUninitialize();
    return 0;
}
catch (...)
{
    std::fprintf(stderr, "failed: 0x%08lx\n", static_cast<unsigned long>(HResultFromCaughtException()));
    return 1;
}
