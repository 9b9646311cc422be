// The engine's memory per download, for tools/bench_engine.sh: the engine core
// in this process, aria2 scripted, 10,000 paused downloads added (the table of
// a user with many downloads). Every allocation of the process is counted, so
// the figures are the bytes the core keeps for a download (what the heap adds
// to each block comes on top: about 8 bytes a block on 32-bit Windows).
// Prints
//   memory <bytes per download>
//   blocks <heap blocks per download>
//   bench_engine_memory <data folder> <download folder>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "engine_server/engine_core.h"
#include "framework/error.h"
#include "support/scripted_aria2.h"

namespace {

std::atomic<long long> g_liveBytes{0}, g_liveBlocks{0};
constexpr size_t kHeader = 16;  // keeps the caller's block aligned as malloc's

class CNoClients final : public tdm::engine::CEngineEvents
{
public:
    void Fire(DISPID, std::vector<tdm::engine::EventArgument>) noexcept override {}
    void Ask(DISPID, std::vector<tdm::engine::EventArgument>, size_t, AnswerHandler) noexcept override {}
};

}  // namespace

void* operator new(size_t size)
{
    auto* block = static_cast<size_t*>(std::malloc(size + kHeader));
    if (!block)
        throw std::bad_alloc();
    *block = size;
    g_liveBytes += static_cast<long long>(size);
    ++g_liveBlocks;
    return reinterpret_cast<char*>(block) + kHeader;
}

void operator delete(void* p) noexcept
{
    if (!p)
        return;
    auto* block = reinterpret_cast<size_t*>(static_cast<char*>(p) - kHeader);
    g_liveBytes -= static_cast<long long>(*block);
    --g_liveBlocks;
    std::free(block);
}

void operator delete(void* p, size_t) noexcept
{
    operator delete(p);
}

int wmain(int argc, wchar_t** argv)
try
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: bench_engine_memory <data folder> <download folder>\n");
        return 2;
    }
    constexpr int kDownloads = 10000;
    CNoClients clients;
    tdm::engine::ScriptedAria2 aria2;
    tdm::engine::CEngineCore core(clients, aria2);
    if (FAILED(core.Init(argv[1])))
        return 1;
    const std::wstring folder = std::wstring(argv[2]) + L"\\";
    // One add first: what the first download brings (the journal's handle,
    // the log's first texts) is not a download's.
    const auto add = [&](int i) {
        tdm::engine::DownloadOptionsData options;
        options.url = L"http://downloads.example.com/files/archive-" + std::to_wstring(i) + L".zip";
        options.localPath = folder;
        return core.AddDownload(options, 0, false, -1, L"");
    };
    if (FAILED(add(0)))
        return 1;
    const long long bytes = g_liveBytes, blocks = g_liveBlocks;
    for (int i = 1; i <= kDownloads; ++i)
        if (FAILED(add(i)))
            return 1;
    std::printf("memory %.0f\nblocks %.1f\n", double(g_liveBytes - bytes) / kDownloads,
                double(g_liveBlocks - blocks) / kDownloads);
    return 0;
}
catch (...)
{
    std::fprintf(stderr, "failed: 0x%08lx\n", static_cast<unsigned long>(tdm::HResultFromCaughtException()));
    return 1;
}
