// The real engine (tdm-engine.exe, registered in the engine prefix) through the
// client's own wrappers, against a local HTTP server (tests/engine_server/
// http_test_server.py, started here on the loopback; it ends by itself). Files
// are compared with the server's by SHA-256.
// test-environment: TDM_TEST_WATCHDOG_SECONDS=430
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <urlmon.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/download_record.h"
#include "engine/engine_contract.h"
#include "engine/engine_link.h"
#include "framework/error.h"
#include "framework/object.h"
#include "store/settings_store.h"
#include "support/bar_window.h"
#include "support/engine_standin.h"
#include "support/file_hash.h"
#include "support/loopback_http.h"
#include "support/process.h"
#include "support/raised.h"

using namespace tdm;
using namespace tdm::test;

namespace {

using Wide = std::wstring;

// --- helpers -------------------------------------------------------------------

// Dispatches this thread's messages (the engine's events) until `done` or the
// time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 30000)
{
    const DWORD start = ::GetTickCount();
    while (!done())
    {
        if (::GetTickCount() - start > timeoutMs)
            return false;
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&message);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}

std::string UnixPath(const Wide& path)
{
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = convert ? convert(path.c_str()) : nullptr;
    std::string result = name ? name : "";
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

// The local HTTP server of these tests.
class TestServer
{
public:
    TestServer()
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        // Wine's process ids repeat across prefixes: the time keeps test runs of
        // other checkouts out of this server's files.
        m_folder = "/tmp/tdm-engine-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                   std::to_string(::GetTickCount());
        const std::string portFile = m_folder + ".port";
        const std::string source = std::getenv("TDM_SOURCE_DIR") ? std::getenv("TDM_SOURCE_DIR") : "";
        const Wide command = L"python3 \"" + WideFromNarrow(source) + L"/tests/engine_server/http_test_server.py\" \"" +
                             WideFromNarrow(m_folder) + L"\" \"" + WideFromNarrow(portFile) + L"\" 420";
        STARTUPINFOW startup = {sizeof(startup)};
        PROCESS_INFORMATION process = {};
        Wide line = command;
        // A Unix program: Wine starts it but gives no handle that can be waited on.
        ::CreateProcessW(L"Z:\\usr\\bin\\python3", &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                         nullptr, &startup, &process);
        const Wide portPath = L"Z:" + WideFromNarrow(portFile);
        PumpUntil([&] {
            FILE* file = ::_wfopen(portPath.c_str(), L"rb");
            if (!file)
                return false;
            std::fscanf(file, "%hu %hu %hu", &m_port, &m_tlsPort, &m_untrustedPort);
            std::fclose(file);
            return m_port != 0;
        }, 20000);
        ::DeleteFileW(portPath.c_str());
    }
    ~TestServer() { Get("/quit"); }

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    // The same paths over TLS, with the certificate of TrustedCertificate or
    // with one that nobody trusts.
    std::string TlsUrl(const std::string& path, bool trusted = true) const
    {
        return "https://127.0.0.1:" + std::to_string(trusted ? m_tlsPort : m_untrustedPort) + path;
    }
    Wide TrustedCertificate() const { return L"Z:" + WideFromNarrow(m_folder) + L"/trusted.pem"; }
    uint16_t Port() const { return m_port; }

    // The body of a GET of `path` from the test server.
    std::string Get(const std::string& path) const { return HttpGet(m_port, path); }

private:
    std::string m_folder;
    uint16_t m_port = 0, m_tlsPort = 0, m_untrustedPort = 0;
};

// An event sink as a browser's bar is one: records every event (arguments in
// declaration order, as text), claims the events that carry a claimed flag
// when `claim`, and answers a request for credentials with `userName` and
// `password` (claiming it) unless they are empty.
class CSink : public CObjectRoot, public _IDownloadEngineEvents
{
public:
    struct Event
    {
        DISPID dispid;
        std::vector<std::string> arguments;
    };
    static const InterfaceEntry* Interfaces(size_t* count) noexcept
    {
        static const InterfaceEntry entries[] = {TDM_INTERFACE(CSink, _IDownloadEngineEvents),
                                                 TDM_INTERFACE_VIA(CSink, IDispatch, _IDownloadEngineEvents)};
        *count = 2;
        return entries;
    }
    static com_ptr<CComObject<CSink>> Create()
    {
        CComObject<CSink>* sink = nullptr;
        EXPECT_EQ(S_OK, CComObject<CSink>::CreateInstance(&sink));
        return com_ptr<CComObject<CSink>>(sink);
    }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return count ? (*count = 0, S_OK) : E_POINTER; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                        UINT*) override
    {
        Event event{dispid, {}};
        for (UINT i = parameters->cArgs; i-- > 0;)
            event.arguments.push_back(test::Text(parameters->rgvarg[i]));
        VARIANT* last = parameters->cArgs ? &parameters->rgvarg[0] : nullptr;
        const bool claimable = dispid == 3 || dispid == 8 || dispid == 9;
        if (claimable && claim && last && V_VT(last) == (VT_BOOL | VT_BYREF) && !*V_BOOLREF(last))
        {
            *V_BOOLREF(last) = VARIANT_TRUE;
            claimed.push_back(dispid);
        }
        // A client with a dialog open inside the file-name question.
        if (dispid == 5 && parameters->cArgs == 14 && !*V_BOOLREF(&parameters->rgvarg[1]) && questionBlocks)
        {
            ::InterlockedExchange(&blocking, 1);
            ::Sleep(questionBlocks);
            ::InterlockedExchange(&blocking, 0);
        }
        // The file-name question: folder, fileName, claimed, cancel are the last four.
        if (dispid == 5 && parameters->cArgs == 14 && !*V_BOOLREF(&parameters->rgvarg[1]) &&
            (!fileAnswer.folder.empty() || fileAnswer.cancel))
        {
            ::SysFreeString(*V_BSTRREF(&parameters->rgvarg[3]));
            *V_BSTRREF(&parameters->rgvarg[3]) = AllocBstr(WideFromUtf8(fileAnswer.folder));
            ::SysFreeString(*V_BSTRREF(&parameters->rgvarg[2]));
            *V_BSTRREF(&parameters->rgvarg[2]) = AllocBstr(WideFromUtf8(fileAnswer.name));
            *V_BOOLREF(&parameters->rgvarg[1]) = VARIANT_TRUE;
            *V_BOOLREF(&parameters->rgvarg[0]) = fileAnswer.cancel ? VARIANT_TRUE : VARIANT_FALSE;
        }
        if (dispid == 14 && !userName.empty() && parameters->cArgs == 12)
        {
            // userName, password, remember, cancel, claimed: the last five.
            ::SysFreeString(*V_BSTRREF(&parameters->rgvarg[4]));
            *V_BSTRREF(&parameters->rgvarg[4]) = AllocBstr(WideFromUtf8(userName));
            ::SysFreeString(*V_BSTRREF(&parameters->rgvarg[3]));
            *V_BSTRREF(&parameters->rgvarg[3]) = AllocBstr(WideFromUtf8(password));
            *V_BOOLREF(&parameters->rgvarg[0]) = VARIANT_TRUE;
        }
        events.push_back(std::move(event));
        return S_OK;
    }

    // The events of download `id` with DISPID `dispid`.
    std::vector<Event> Of(DISPID dispid, long id = -1) const
    {
        std::vector<Event> found;
        for (const Event& e : events)
            if (e.dispid == dispid && (id == -1 || (!e.arguments.empty() && e.arguments[0] == std::to_string(id))))
                found.push_back(e);
        return found;
    }
    bool Has(DISPID dispid, long id = -1) const { return !Of(dispid, id).empty(); }

    bool claim = true;
    std::string userName, password;
    struct { std::string folder, name; bool cancel = false; } fileAnswer;  // empty folder: none
    std::vector<Event> events;
    std::vector<DISPID> claimed;
    DWORD questionBlocks = 0;  // milliseconds the file-name question keeps this sink
    volatile LONG blocking = 0;
};

class EngineServerTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { server = new TestServer(); }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }

    void SetUp() override
    {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_NE(0, server->Port()) << "the test server did not start";
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        folder = Wide(temp) + L"engine-" + std::to_wstring(::GetTickCount()) + L"\\";
        sink = CSink::Create();
        const CComError raised = test::Raised([&] {
            engine = CEngine::Create();
            connection.Connect(engine.get(), sink.get());
        });
        ASSERT_EQ(S_OK, raised.Status()) << std::hex << raised.Status();
    }
    void TearDown() override
    {
        (void)connection.Disconnect();
        engine.reset();
        sink.reset();
        ::CoUninitialize();
    }

    // Adds the server's `path` (or a full URL) by AddUrl into the test's folder
    // and returns its id (from the DownloadAdded event), -1 when none came.
    long AddUrl(const std::string& path, bool start = true)
    {
        const size_t before = sink->Of(kEventAdded).size();
        const std::string url = path.rfind("http", 0) == 0 ? path : server->Url(path);
        engine.AddUrl(WideFromUtf8(url), folder, nullptr, start, L"");
        if (!PumpUntil([&] { return sink->Of(kEventAdded).size() > before; }))
            return -1;
        return std::stol(sink->Of(kEventAdded).back().arguments[0]);
    }
    bool WaitFor(DISPID dispid, long id, DWORD timeoutMs = 30000)
    {
        return PumpUntil([&] { return sink->Has(dispid, id); }, timeoutMs);
    }
    // The client's record of download `id`, read from the engine's list.
    std::unique_ptr<CTolInfoDownload> Record(long id)
    {
        unique_variant list;
        engine.GetDownloadList(list);
        std::vector<std::unique_ptr<CTolInfoDownload>> records;
        EXPECT_EQ(S_OK, MakeRecordsFromList(*list.get(), records));
        for (auto& record : records)
            if (record->id == id)
                return std::move(record);
        return nullptr;
    }
    // Runs script 3000 of the module with `url` as the link under the menu.
    // Runs the link context-menu script on a link to `url` of a page at
    // `pageAddress` (none: the address the stand-in gives a page).
    void RunScript3000(const std::string& url, const std::string& pageAddress = "");
    std::string PathOf(long id)
    {
        const auto record = Record(id);
        return record ? Utf8FromWide(WideFromBstr(record->path.get())) : std::string();
    }

    static TestServer* server;
    Wide folder;
    com_ptr<CComObject<CSink>> sink;
    CEngine engine;
    CEngineEventConnection connection;
};

TestServer* EngineServerTest::server = nullptr;

// Downloads of every kind of server answer arrive byte for byte, with the
// events a bar follows and the list row the client reads.
TEST_F(EngineServerTest, DownloadsArriveByteIdentical)
{
    const struct
    {
        const char* name;
        std::string path;
        const char* file;       // the file the server has
        const char* savedAs;    // the name of the loaded file
        bool byOptions = false; // AddDownload with a full local path
    } cases[] = {
        {"ranges", "/file/data.bin", "data.bin", "data.bin"},
        {"no ranges", "/norange/small.bin", "small.bin", "small.bin"},
        {"name from Content-Disposition", "/cd/whatever", "small.bin", "server-named.bin"},
        {"AddDownload with a file path", "/file/data.bin", "data.bin", "chosen.bin", true},
        // An address and a folder in Cyrillic and Chinese: the engine keeps them
        // as given, sends the address as UTF-8 escapes and names the file as the
        // address does.
        {"in any script", "/iri/文件-архив.bin", "small.bin", "文件-архив.bin"},
        {"in any script, by path", "/iri/文件-архив.bin", "small.bin", "Загрузки 下载\\архив 文件.bin", true},
    };
    ::CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(::CreateDirectoryW((folder + L"Загрузки 下载").c_str(), nullptr)) << ::GetLastError();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        long id = -1;
        if (c.byOptions)
        {
            const CDownloadOptions options = engine.GetOptions(-1);
            options.SetUrl(WideFromUtf8(server->Url(c.path)));
            options.SetLocalPath(folder + WideFromUtf8(c.savedAs));
            const size_t before = sink->Of(kEventAdded).size();
            engine.AddDownload(options, nullptr, true, L"");
            ASSERT_TRUE(PumpUntil([&] { return sink->Of(kEventAdded).size() > before; }));
            id = std::stol(sink->Of(kEventAdded).back().arguments[0]);
        }
        else
            id = AddUrl(c.path);
        ASSERT_NE(-1, id);
        ASSERT_TRUE(WaitFor(kEventCompleted, id)) << "no completion";
        const Wide saved = folder + WideFromUtf8(c.savedAs);
        EXPECT_EQ(server->Get(std::string("/sha256/") + c.file), Sha256OfFile(saved));
        const auto record = Record(id);
        ASSERT_TRUE(record);
        EXPECT_EQ(0x04, record->state);
        EXPECT_EQ(saved, WideFromBstr(record->path.get()));
        EXPECT_EQ(WideFromUtf8(server->Url(c.path)), WideFromBstr(record->url.get()));
        EXPECT_EQ(record->totalSize, record->loadedSize);
        EXPECT_DOUBLE_EQ(1.0, record->progress);
        // The bar's row ends with every byte: the last progress it gets carries them.
        const auto progress = sink->Of(kEventProgress, id);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(std::to_string(record->totalSize), progress.back().arguments[2]);
        // Added (running), the settled name, and completion claimed by this bar.
        const auto added = sink->Of(kEventAdded, id);
        ASSERT_EQ(1u, added.size());
        EXPECT_EQ("1", added[0].arguments[4]);
        EXPECT_TRUE(sink->Has(kEventFileInfo, id));
        EXPECT_EQ("4", sink->Of(kEventStateChanged, id).back().arguments[1]);
        EXPECT_EQ("0", sink->Of(kEventCompleted, id)[0].arguments[5]) << "the flag reached the sink claimed already";
        // The download's log: "date<TAB>time<TAB>message" lines.
        const std::string log = Utf8FromWide(WideFromBstr(engine.GetDownloadLog(id).get()));
        EXPECT_NE(std::string::npos, log.find("\tCompleted")) << log;
        EXPECT_EQ(2, std::count(log.begin(), log.begin() + log.find("\r\n"), '\t')) << log;
    }
    EXPECT_NE(std::string::npos, server->Get("/requests").find("GET /iri/%E6%96%87%E4%BB%B6-%D0%B0%D1%80%D1%85%D0%B8%D0%B2.bin "))
        << "on the wire as UTF-8 escapes";
}

// A paused download keeps its data and continues with a Range request; a
// deleted one leaves the list and its file.
TEST_F(EngineServerTest, PauseResumesWithRangeAndDeleteRemoves)
{
    const long id = AddUrl("/slow/slow.bin");
    ASSERT_NE(-1, id);
    ASSERT_TRUE(PumpUntil([&] {
        const auto progress = sink->Of(kEventProgress, id);
        return !progress.empty() && std::stol(progress.back().arguments[2]) > 100000;
    })) << "no progress";
    const auto progress = sink->Of(kEventProgress, id).back().arguments;
    EXPECT_GT(std::stol(progress[4]), 0) << "current speed";
    EXPECT_GT(std::stol(progress[5]), 0) << "average speed";
    engine.PauseDownload(id, nullptr);
    ASSERT_TRUE(WaitFor(kEventStopped, id));
    EXPECT_EQ("8", sink->Of(kEventStopped, id)[0].arguments[1]);
    const auto paused = Record(id);
    ASSERT_TRUE(paused);
    EXPECT_EQ(0x08, paused->state);
    EXPECT_GT(paused->loadedSize, 0u);
    EXPECT_LT(paused->loadedSize, 1040000u);

    engine.StartDownload(id, nullptr, L"");
    ASSERT_TRUE(WaitFor(kEventCompleted, id, 60000));
    EXPECT_EQ(server->Get("/sha256/slow.bin"), Sha256OfFile(folder + L"slow.bin"));
    // The server resumed: the download is known to resume (on one connection).
    const auto resumable = sink->Of(kEventResumeSupport, id);
    ASSERT_FALSE(resumable.empty());
    EXPECT_EQ("-1", resumable.back().arguments[1]);
    // The continuation asked for the rest only.
    const std::string requests = server->Get("/requests");
    EXPECT_NE(std::string::npos, requests.find("/slow/slow.bin range=bytes=")) << requests;
    EXPECT_EQ(std::string::npos, requests.find("/slow/slow.bin range=bytes=0-")) << requests;

    engine.DeleteDownload(id);
    ASSERT_TRUE(WaitFor(kEventDeleted, id));
    EXPECT_FALSE(Record(id));
    EXPECT_EQ(E_INVALIDARG, test::Raised([&] { engine.GetOptions(id); }).Status());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((folder + L"slow.bin").c_str()));
}

// Failures reach the bar as errors with the server's status.
TEST_F(EngineServerTest, FailuresAreReportedWithTheirStatus)
{
    const struct
    {
        const char* path;
        HRESULT code;  // 0: any failure code
    } cases[] = {
        {"/missing", MAKE_HRESULT(SEVERITY_ERROR, 25, 404)},
        {"/loop", 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.path);
        const long id = AddUrl(c.path);
        ASSERT_NE(-1, id);
        ASSERT_TRUE(WaitFor(kEventError, id));
        const auto error = sink->Of(kEventError, id)[0].arguments;
        if (c.code)
            EXPECT_EQ(std::to_string(static_cast<long>(c.code)), error[1]);
        else
            EXPECT_LT(std::stol(error[1]), 0);
        EXPECT_FALSE(error[2].empty());
        EXPECT_EQ("20", error[3]);
        EXPECT_TRUE(WaitFor(kEventStopped, id));
        EXPECT_EQ(0x14, Record(id)->state);
    }
}

// A server that asks for credentials gets the bar's answer.
TEST_F(EngineServerTest, CredentialsRequiredIsAnsweredByTheBar)
{
    sink->userName = "user";
    sink->password = "secret";
    const long id = AddUrl("/auth/small.bin");
    ASSERT_NE(-1, id);
    ASSERT_TRUE(WaitFor(kEventCredentials, id));
    EXPECT_EQ(server->Url("/auth/small.bin"), sink->Of(kEventCredentials, id)[0].arguments[3]);
    ASSERT_TRUE(WaitFor(kEventCompleted, id));
    EXPECT_EQ(server->Get("/sha256/small.bin"), Sha256OfFile(folder + L"small.bin"));
    EXPECT_EQ(L"user", engine.GetOptions(id).UserName());
}

// Engine-wide settings: stored, announced to the bars, refused when invalid.
TEST_F(EngineServerTest, SettingsAreKeptAndAnnounced)
{
    const LANGID language = engine.GetLanguage() == 0x0419 ? 0x0409 : 0x0419;
    engine.SetLanguage(language);
    EXPECT_EQ(language, engine.GetLanguage());
    engine.SetTrafficMode(1);
    EXPECT_EQ(1, engine.GetTrafficMode());
    EXPECT_EQ(E_INVALIDARG, test::Raised([&] { engine.SetTrafficMode(4); }).Status());
    const long connections = engine.GetConnections();
    engine.SetConnections(3);
    EXPECT_EQ(3, engine.GetConnections());
    EXPECT_EQ(E_INVALIDARG, test::Raised([&] { engine.SetConnections(17); }).Status());
    EXPECT_EQ(3, engine.GetConnections());
    engine.SetConnections(connections);
    engine.SetLogSettings({true, 7, true});
    engine.SetKeepDescriptionFile(true);
    ASSERT_TRUE(PumpUntil([&] { return sink->Has(kEventLogOption) && sink->Has(kEventSpeedLimit); }));
    EXPECT_EQ(std::to_string(language), sink->Of(kEventLanguage).back().arguments[0]);
    EXPECT_EQ("1", sink->Of(kEventTrafficMode).back().arguments[0]);
    EXPECT_EQ((std::vector<std::string>{"-1", "7", "-1"}), sink->Of(kEventLogOption).back().arguments);
    const EngineLogSettings logs = engine.GetLogSettings();
    EXPECT_TRUE(logs.keepCommonLog && logs.logPerDownload);
    EXPECT_EQ(7, logs.daysToKeep);
    EXPECT_TRUE(engine.GetKeepDescriptionFile());

    // The options of new downloads: every property read back as stored.
    const CDownloadOptions defaults = engine.GetOptions(-1);
    defaults.SetIntegerOption1(45);
    defaults.SetIntegerOption2(4);
    defaults.SetProxyServers(L"http=proxy:8080");
    defaults.SetProxyBypass(L"intranet.example;<local>");
    defaults.SetMaxRedirections(9);
    defaults.SetFtpPassive(false);
    engine.SetOptions(-1, nullptr, defaults);
    const CDownloadOptions stored = engine.GetOptions(-1);
    EXPECT_EQ(45, stored.IntegerOption1());
    EXPECT_EQ(4, stored.IntegerOption2());
    EXPECT_EQ(L"http=proxy:8080", stored.ProxyServers());
    EXPECT_EQ(L"intranet.example;<local>", stored.ProxyBypass());
    EXPECT_EQ(9, stored.MaxRedirections());
    EXPECT_FALSE(stored.FtpPassive());
    engine.SetTrafficMode(3);
    defaults.SetIntegerOption1(120);
    defaults.SetIntegerOption2(2);
    defaults.SetProxyServers(L"");
    defaults.SetProxyBypass(L"");
    defaults.SetFtpPassive(true);
    engine.SetOptions(-1, nullptr, defaults);
}

// The engine's data folder in this prefix, and its aria2 configuration.
Wide EngineFolder()
{
    wchar_t local[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local);
    return Wide(local) + L"\\Tolvane\\Engine";
}

// Sends `signal` to the engine's aria2 (a Unix process) through
// tests/engine_server/kill_backend.sh and returns how many there were.
int SignalBackend(const char* signal)
{
    const std::string source = std::getenv("TDM_SOURCE_DIR") ? std::getenv("TDM_SOURCE_DIR") : "";
    const Wide config = EngineFolder() + L"\\aria2.conf";
    Wide line = L"sh \"" + WideFromNarrow(source) + L"/tests/engine_server/kill_backend.sh\" \"" +
                WideFromNarrow(UnixPath(config)) + L"\" " + WideFromNarrow(signal);
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ::DeleteFileW((config + L".count").c_str());
    ::CreateProcessW(L"Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                     &process);
    int count = -1;
    PumpUntil([&] {
        FILE* file = ::_wfopen((config + L".count").c_str(), L"rb");
        const bool read = file && std::fscanf(file, "%d", &count) == 1;
        if (file)
            std::fclose(file);
        return read;
    }, 30000);
    PumpUntil([] { return false; }, 1500);
    return count;
}
void KillBackend() { (void)SignalBackend("KILL"); }

Wide SourceDir()
{
    return WideFromNarrow(std::getenv("TDM_SOURCE_DIR") ? std::getenv("TDM_SOURCE_DIR") : "");
}

// Starts a Unix program of the machine by its command line (Wine gives no
// handle to wait on).
void RunUnix(Wide line)
{
    const Wide program = L"Z:\\usr\\bin\\" + line.substr(0, line.find(L' '));
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                     &process);
}

std::string ReadText(const Wide& path)
{
    std::string text;
    if (FILE* file = ::_wfopen(path.c_str(), L"rb"))
    {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), file)) > 0;)
            text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

// Waits until the engine's process has ended by itself (its last client gone).
bool WaitForEngineEnd()
{
    return PumpUntil([] {
        const unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry = {sizeof(entry)};
        for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
            if (!::lstrcmpiW(entry.szExeFile, L"tdm-engine.exe"))
                return false;
        return true;
    }, 20000);
}

long LoadedOf(const CSink& sink, long id)
{
    const auto progress = sink.Of(kEventProgress, id);
    return progress.empty() ? 0 : std::stol(progress.back().arguments[2]);
}

// A crashed aria2 is started again and the download completes from its session.
TEST_F(EngineServerTest, DownloadsSurviveACrashOfAria2)
{
    long id = AddUrl("/slow/slow.bin");
    ASSERT_NE(-1, id);
    ASSERT_TRUE(PumpUntil([&] { return LoadedOf(*sink.get(), id) > 100000; }));
    KillBackend();
    ASSERT_TRUE(WaitFor(kEventCompleted, id, 60000)) << "not completed after aria2 was killed";
    EXPECT_EQ(server->Get("/sha256/slow.bin"), Sha256OfFile(folder + L"slow.bin"));

}

// The file-name question of a download the server names (it loads into a
// staging folder meanwhile): an answer moves the partial file with aria2's
// control file and the transfer continues there with a range request; a
// cancel deletes the download with its partial file; an existing file that
// nobody agreed to replace stops the download with an error, untouched. The
// real bar asks before it replaces a file.
TEST_F(EngineServerTest, TheFileNameAnswerMovesThePartialFile)
{
    const std::string base = NarrowFromWide(folder.c_str(), folder.size());
    const Wide proposed = folder + L"server-named.bin";
    struct Case { std::string answerFolder, answerName; bool cancel, conflict, bar; };
    for (const Case& c : {Case{base + "moved\\", "renamed.bin", false, false, false}, Case{base, "", true, false, false},
                          Case{"", "", false, true, false}, Case{base, "server-named.bin", false, true, true}})
    {
        const std::string path = "/cdslow/" + c.answerName + std::to_string(c.cancel + 2 * c.conflict);
        SCOPED_TRACE(path);
        sink->fileAnswer = {c.bar ? "" : c.answerFolder, c.answerName, c.cancel};
        if (FILE* file = c.conflict ? ::_wfopen(proposed.c_str(), L"wb") : nullptr)
            std::fclose(file);
        const std::string older = Sha256OfFile(proposed);
        SetSaveFileDefault(true);
        std::optional<test::BarWindow> bar;
        if (c.bar)
        {
            bar.emplace();
            bar->Show(true);
            bar->AnswerNext({IDYES});  // the replace question
        }
        const long id = AddUrl(path);
        ASSERT_TRUE(WaitFor(c.cancel ? kEventDeleted : c.conflict && !c.bar ? kEventError : kEventCompleted, id, 60000));
        const auto question = sink->Of(kEventFileInfo, id).at(0).arguments;
        EXPECT_EQ(base + "|server-named.bin|0", question[10] + "|" + question[11] + "|" + question[12]);
        if (c.conflict && !c.bar)
        {
            EXPECT_EQ(std::to_string(HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)), sink->Of(kEventError, id)[0].arguments[1]);
            EXPECT_EQ(older, Sha256OfFile(proposed)) << "an existing file was overwritten";
            engine.DeleteDownload(id);
        }
        else if (!c.cancel)
        {
            EXPECT_EQ(server->Get("/sha256/slow.bin"), Sha256OfFile(WideFromNarrow(c.answerFolder + c.answerName)));
            EXPECT_EQ("-1", sink->Of(kEventFileInfo, id).back().arguments[12]) << "the settled name was not sent";
            const std::string requests = server->Get("/requests");
            EXPECT_TRUE(requests.find(path + " range=bytes=") != std::string::npos &&
                        requests.find(path + " range=bytes=0-") == std::string::npos) << requests;
        }
        const Wide staging = EngineFolder() + L"\\staging\\" + std::to_wstring(id);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(staging.c_str())) << "a partial file stayed";
        if (bar)
            bar->Show(false);
    }
}

// A server that ignores the range of a continued transfer: the download starts
// again from byte 0, the bars are told, and the file is still the server's. A
// server that names no size is known not to resume while the file loads.
TEST_F(EngineServerTest, AServerWithoutRangesRestartsTheTransfer)
{
    const long unsized = AddUrl("/unsized/slow.bin");
    ASSERT_TRUE(PumpUntil([&] { return sink->Has(kEventResumeSupport) || sink->Has(kEventCompleted); }, 30000));
    EXPECT_EQ("0", sink->Of(kEventResumeSupport, unsized).at(0).arguments[1]);
    ASSERT_TRUE(WaitFor(kEventCompleted, unsized, 60000));
    const std::wstring unsizedPath = WideFromNarrow(PathOf(unsized));
    EXPECT_EQ(server->Get("/sha256/slow.bin"), Sha256OfFile(unsizedPath));
    engine.DeleteDownload(unsized);
    ::DeleteFileW(unsizedPath.c_str());
    sink->events.clear();

    const long id = AddUrl("/slownorange/slow.bin");
    ASSERT_TRUE(PumpUntil([&] { return LoadedOf(*sink.get(), id) > 700000; }));
    engine.PauseDownload(id, nullptr);
    engine.StartDownload(id, nullptr, L"");
    ASSERT_TRUE(WaitFor(kEventCompleted, id, 60000));
    const auto restarted = sink->Of(kEventRestarted, id).at(0).arguments;  // reason 1: the server refused to resume
    EXPECT_EQ("1|0", restarted[1] + "|" + restarted[3]);
    EXPECT_EQ("0", sink->Of(kEventResumeSupport, id).at(0).arguments[1]);
    EXPECT_EQ(server->Get("/sha256/slow.bin"), Sha256OfFile(folder + L"slow.bin"));
}

// A file from a server that takes ranges (each connection throttled) loads in
// several sections at once: the sections cover the file without overlap, each
// ends complete, and the download is known to resume. Paused and started
// again, each section goes on where it stopped.
TEST_F(EngineServerTest, ADownloadLoadsInSectionsThatCoverTheFile)
{
    const long id = AddUrl("/slow/sections.bin");
    ASSERT_TRUE(WaitFor(kEventCompleted, id, 60000));
    EXPECT_EQ(server->Get("/sha256/sections.bin"), Sha256OfFile(folder + L"sections.bin"));
    EXPECT_EQ("-1", sink->Of(kEventResumeSupport, id).at(0).arguments[1]);
    // The section events name section n of total with its length (argument 5).
    std::map<long, long> lengths;
    long total = 0;
    for (const auto& e : sink->Of(kEventSectionProgress, id))
    {
        total = std::max(total, std::stol(e.arguments[2]));
        lengths[std::stol(e.arguments[1])] = std::stol(e.arguments[5]);
    }
    ASSERT_GT(total, 1) << "one connection";
    long covered = 0;
    for (const auto& [number, length] : lengths)
        covered += length;
    EXPECT_EQ(static_cast<long>(lengths.size()), total);
    EXPECT_EQ(12000000, covered) << "the sections overlap or leave gaps";
    std::set<std::string> finished;
    for (const auto& e : sink->Of(kEventSectionFinished, id))
        if (e.arguments[3] == std::to_string(total))
            finished.insert(e.arguments[2]);
    EXPECT_EQ(static_cast<size_t>(total), finished.size());

    engine.DeleteDownload(id);
    ASSERT_TRUE(::DeleteFileW((folder + L"sections.bin").c_str()));
    const std::string paused = "/slow/sections.bin?paused";
    const long again = AddUrl(paused);
    ASSERT_TRUE(PumpUntil([&] { return LoadedOf(*sink.get(), again) > 3000000; }, 30000));
    engine.PauseDownload(again, nullptr);
    ASSERT_TRUE(WaitFor(kEventStopped, again));
    engine.StartDownload(again, nullptr, L"");
    ASSERT_TRUE(WaitFor(kEventCompleted, again, 60000));
    EXPECT_EQ(server->Get("/sha256/sections.bin"), Sha256OfFile(folder + L"sections.bin"));
    // Beyond the file, a section may load again the block it was writing and
    // what was on its way when it paused (about 300 KB in all, measured); the
    // sections starting over would add the 3 MB loaded before the pause.
    EXPECT_LE(std::stoll(server->Get("/sent?" + paused)), 12000000LL + total * 128 * 1024);
}

// A listener that holds the port of the engine's last aria2 before the engine
// starts, answering as aria2 would with paths it would like deleted: the new
// engine asks it nothing (the secret never reaches it) and works through an
// aria2 of its own.
TEST_F(EngineServerTest, AListenerOnTheOldPortNeverHearsFromTheEngine)
{
    (void)connection.Disconnect();
    engine.reset();
    ASSERT_TRUE(WaitForEngineEnd()) << "the engine did not end after its last client";
    const std::string config = ReadText(EngineFolder() + L"\\aria2.conf");
    const size_t port = config.find("rpc-listen-port=");
    ASSERT_NE(std::string::npos, port) << config;
    const Wide record = folder + L"squatter.txt";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    RunUnix(L"python3 \"" + SourceDir() + L"/tests/engine_server/rpc_squatter.py\" " +
            WideFromNarrow(config.substr(port + 16, config.find('\n', port) - port - 16)) + L" \"" +
            WideFromNarrow(UnixPath(record)) + L"\" 90");
    ASSERT_TRUE(PumpUntil([&] { return ::GetFileAttributesW(record.c_str()) != INVALID_FILE_ATTRIBUTES; }, 10000));

    engine = CEngine::Create();
    connection.Connect(engine.get(), sink.get());
    const long id = AddUrl("/file/small.bin?squatter");
    ASSERT_TRUE(WaitFor(kEventCompleted, id));
    EXPECT_EQ(server->Get("/sha256/small.bin"), Sha256OfFile(folder + L"small.bin"));
    EXPECT_EQ("", ReadText(record)) << "the listener on the old port was asked";
}

// A hung aria2: a client's call fails within its deadline with ERROR_TIMEOUT,
// no second aria2 starts on the session meanwhile, and the download goes on
// once aria2 does.
TEST_F(EngineServerTest, AHungAria2BoundsTheCallsAndGetsNoTwin)
{
    const long id = AddUrl("/slownorange/slow.bin?hung");  // one connection: still loading when aria2 hangs
    ASSERT_TRUE(PumpUntil([&] { return LoadedOf(*sink.get(), id) > 100000; }));
    if (const int stopped = SignalBackend("STOP"); stopped != 1)
    {
        (void)SignalBackend("CONT");  // no aria2 of the session stays stopped after this case
        FAIL() << stopped << " aria2 stopped";
    }
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_TIMEOUT), test::Raised([&] { engine.PauseDownload(id, nullptr); }).Status());
    EXPECT_LT(::GetTickCount() - start, 15000u) << "the call outlived its deadline";
    PumpUntil([] { return false; }, 20000);  // the engine's polls meet the hung aria2
    EXPECT_EQ(1, SignalBackend("CONT")) << "another aria2 was started on the session";
    // aria2 may carry out the pause it got before it stopped: then it is started.
    PumpUntil([&] { return sink->Has(kEventStopped, id); }, 5000);
    engine.StartDownload(id, nullptr, L"");
    ASSERT_TRUE(WaitFor(kEventCompleted, id, 60000));
    EXPECT_EQ(server->Get("/sha256/slow.bin"), Sha256OfFile(folder + L"slow.bin"));
}

// Files of the user's that a download meets: a file the user agreed to
// replace stays as it was when the transfer then fails, and a description
// file takes a free name beside one that exists.
TEST_F(EngineServerTest, FilesOfTheUserStayWhole)
{
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const Wide replaced = folder + L"server-named.bin", described = folder + L"small.bin.txt";
    for (const Wide& path : {replaced, described})
        if (FILE* file = ::_wfopen(path.c_str(), L"wb"))
        {
            std::fputs("the user's own file", file);
            std::fclose(file);
        }
    const std::string original = Sha256OfFile(replaced);

    sink->fileAnswer = {NarrowFromWide(folder.c_str(), folder.size()), "server-named.bin"};  // replace: claimed
    const long failing = AddUrl("/cdfail/replace");
    ASSERT_TRUE(WaitFor(kEventError, failing, 60000));
    EXPECT_EQ(original, Sha256OfFile(replaced)) << "a partial download replaced the user's file";
    sink->fileAnswer = {};

    const bool keep = engine.GetKeepDescriptionFile();
    engine.SetKeepDescriptionFile(true);
    const long describedId = AddUrl("/file/small.bin?described");
    ASSERT_TRUE(WaitFor(kEventCompleted, describedId));
    engine.SetKeepDescriptionFile(keep);
    EXPECT_EQ(original, Sha256OfFile(described)) << "the description overwrote a file";
    EXPECT_NE(std::string::npos, ReadText(folder + L"small.bin (2).txt").find("small.bin?described"));
}

// A client that sits in a dialog inside the file-name question (its own
// thread, as another browser window would be) holds up neither the engine nor
// this client: another download's completion arrives here meanwhile.
TEST_F(EngineServerTest, AClientInADialogHoldsUpNoOtherClient)
{
    struct Other
    {
        com_ptr<CComObject<CSink>> sink;
        volatile LONG ready = 0, stop = 0;
        static DWORD WINAPI Run(void* parameter)
        {
            Other& other = *static_cast<Other*>(parameter);
            ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            try
            {
                CEngine engine = CEngine::Create();
                CEngineEventConnection connection;
                connection.Connect(engine.get(), other.sink.get());
                ::InterlockedExchange(&other.ready, 1);
                PumpUntil([&] { return other.stop != 0; }, 120000);
                (void)connection.Disconnect();
            }
            catch (...)
            {
                ::InterlockedExchange(&other.ready, -1);
            }
            ::CoUninitialize();
            return 0;
        }
    } other;
    other.sink = CSink::Create();
    other.sink->questionBlocks = 20000;
    const unique_handle thread(::CreateThread(nullptr, 0, &Other::Run, &other, 0, nullptr));
    ASSERT_TRUE(PumpUntil([&] { return other.ready != 0; }));
    ASSERT_EQ(1, other.ready);
    const long asked = AddUrl("/cdslow/dialog");
    ASSERT_TRUE(PumpUntil([&] { return other.sink->blocking != 0; }));
    const long id = AddUrl("/file/small.bin?dialog");
    ASSERT_NE(-1, id);
    EXPECT_TRUE(WaitFor(kEventCompleted, id, 16000));
    EXPECT_NE(0, other.sink->blocking) << "the completion waited for the other client's dialog";
    ::InterlockedExchange(&other.stop, 1);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), 30000));
    // Nobody claimed the question: the download goes on under the server's name.
    EXPECT_TRUE(WaitFor(kEventCompleted, asked, 60000));
}

// Ends the engine's process the hard way, as a crash would.
bool KillEngine()
{
    const unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {sizeof(entry)};
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
    {
        const unique_handle process(::lstrcmpiW(entry.szExeFile, L"tdm-engine.exe") ? nullptr
                                        : ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process && ::TerminateProcess(process.get(), 9))
            return ::WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0;
    }
    return false;
}

// A second client in another process gets the same engine and its events;
// exactly one of the two claims the completion.
TEST_F(EngineServerTest, TwoClientsShareOneEngineAndOneClaimsTheCompletion)
{
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const Wide result = folder + L"second-client.txt";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    ::SetEnvironmentVariableW(L"TDM_ENGINE_SECOND_CLIENT", result.c_str());
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    Wide line = L"\"" + Wide(program) + L"\"";
    ASSERT_TRUE(::CreateProcessW(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    ::SetEnvironmentVariableW(L"TDM_ENGINE_SECOND_CLIENT", nullptr);
    const unique_handle child(process.hProcess), thread(process.hThread);
    const auto read = [&] {
        FILE* file = ::_wfopen(result.c_str(), L"rb");
        std::string text;
        char buffer[256] = {};
        if (file)
        {
            text.assign(buffer, std::fread(buffer, 1, sizeof(buffer) - 1, file));
            std::fclose(file);
        }
        return text;
    };
    ASSERT_TRUE(PumpUntil([&] { return read() == "ready"; })) << "the second client did not connect";
    const long id = AddUrl("/file/small.bin");
    ASSERT_TRUE(WaitFor(kEventCompleted, id));
    ASSERT_TRUE(PumpUntil([&] { return ::WaitForSingleObject(child.get(), 0) == WAIT_OBJECT_0; }));
    long otherId = 0, otherClaimed = 0;
    ASSERT_EQ(2, std::sscanf(read().c_str(), "%ld %ld", &otherId, &otherClaimed)) << read();
    EXPECT_EQ(id, otherId);
    const bool claimedHere = std::count(sink->claimed.begin(), sink->claimed.end(), kEventCompleted) == 1;
    EXPECT_EQ(1, claimedHere + otherClaimed);
}

// The second client of the test above, in its own process: connects, says
// "ready", and writes the id of the first completion it gets and whether it
// claimed it.
const bool g_secondClient = [] {
    const wchar_t* result = ::_wgetenv(L"TDM_ENGINE_SECOND_CLIENT");
    if (!result)
        return false;
    const Wide path = result;
    const auto write = [&](const std::string& text) {
        if (FILE* file = ::_wfopen(path.c_str(), L"wb"))
        {
            std::fwrite(text.data(), 1, text.size(), file);
            std::fclose(file);
        }
    };
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        auto sink = CSink::Create();
        CEngine engine = CEngine::Create();
        CEngineEventConnection connection;
        connection.Connect(engine.get(), sink.get());
        write("ready");
        if (PumpUntil([&] { return sink->Has(kEventCompleted); }, 60000))
            write(sink->Of(kEventCompleted)[0].arguments[0] + " " + std::to_string(sink->claimed.size()));
        (void)connection.Disconnect();
    }
    ::CoUninitialize();
    ::ExitProcess(0);
}();

// The engine's setting that names a further CA file, for as long as it lives.
struct CaFileSetting
{
    explicit CaFileSetting(const Wide& path)
    {
        ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"CaCertificateFile", REG_SZ, path.c_str(),
                          static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    }
    ~CaFileSetting() { ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"CaCertificateFile"); }
    static constexpr const wchar_t* kKey = L"Software\\Tolvane\\Engine";
};

// https is checked: the server whose certificate the settings' CA file vouches
// for delivers the file whole; the one nobody trusts fails with an error that
// names the certificate, leaves no file and is not asked again over http.
TEST_F(EngineServerTest, HttpsDownloadsAreVerifiedAgainstTheTrustedAuthorities)
{
    const CaFileSetting setting(server->TrustedCertificate());
    const long trusted = AddUrl(server->TlsUrl("/file/data.bin"));
    ASSERT_NE(-1, trusted);
    ASSERT_TRUE(WaitFor(kEventCompleted, trusted)) << (sink->Has(kEventError, trusted) ? sink->Of(kEventError, trusted)[0].arguments[2] : "");
    EXPECT_EQ(server->Get("/sha256/data.bin"), Sha256OfFile(WideFromNarrow(PathOf(trusted))));

    const long untrusted = AddUrl(server->TlsUrl("/file/small.bin?untrusted", false));
    ASSERT_NE(-1, untrusted);
    ASSERT_TRUE(WaitFor(kEventError, untrusted));
    const auto error = sink->Of(kEventError, untrusted)[0].arguments;
    EXPECT_EQ(std::to_string(static_cast<long>(CERT_E_UNTRUSTEDROOT)), error[1]);
    EXPECT_EQ(0u, error[2].find("certificate not trusted for 127.0.0.1")) << error[2];
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((folder + L"small.bin").c_str()));
    EXPECT_EQ(std::string::npos, server->Get("/requests").find("untrusted")) << "asked without TLS";
}

// Script 3000 of the built module (the browser's "download by" menu entry), run
// by cscript with the stand-in browser and the real helper, hands the link to
// this engine, which loads it into its default folder: an https link as well,
// since this engine declares https when it registers.
TEST_F(EngineServerTest, Script3000DownloadsThroughTheRealEngine)
{
    const CaFileSetting setting(server->TrustedCertificate());
    for (const auto& [url, file] : {std::pair(server->Url("/file/data.bin"), "data.bin"),
                                    std::pair(server->TlsUrl("/file/small.bin"), "small.bin")})
    {
        SCOPED_TRACE(url);
        RunScript3000(url);
        ASSERT_TRUE(PumpUntil([&] { return !sink->Of(kEventAdded).empty() && sink->Of(kEventAdded).back().arguments[1] == url; }));
        const long id = std::stol(sink->Of(kEventAdded).back().arguments[0]);
        ASSERT_TRUE(WaitFor(kEventCompleted, id));
        EXPECT_EQ(server->Get(std::string("/sha256/") + file), Sha256OfFile(WideFromNarrow(PathOf(id))));
    }
}

// A download made from a link of a page carries the page's address and the
// browser's user agent on every request of it: each section's connection
// asks with both. From an https page an http link goes without the page's
// address, as the browser itself sends it.
TEST_F(EngineServerTest, EveryRequestOfADownloadFromAPageCarriesThePageAndTheUserAgent)
{
    char agent[1024] = {};
    DWORD size = sizeof(agent);
    ASSERT_EQ(S_OK, ::ObtainUserAgentString(0, agent, &size));
    const struct
    {
        std::string path, page, referer;
    } cases[] = {
        {"/file/sections.bin?from-page", "http://pages.test/list.htm?p=1#files", "http://pages.test/list.htm?p=1"},
        {"/file/small.bin?from-secure-page", "https://pages.test/list.htm", "None"},
    };
    for (const auto& c : cases)
    {
        const std::string url = server->Url(c.path);
        RunScript3000(url, c.page);
        ASSERT_TRUE(PumpUntil([&] { return !sink->Of(kEventAdded).empty() && sink->Of(kEventAdded).back().arguments[1] == url; }));
        ASSERT_TRUE(WaitFor(kEventCompleted, std::stol(sink->Of(kEventAdded).back().arguments[0]), 60000)) << c.path;
    }
    // "GET path referer=... agent=..." a request
    std::istringstream requests(server->Get("/headers"));
    std::map<std::string, size_t> seen;
    for (std::string line; std::getline(requests, line);)
        for (const auto& c : cases)
            if (line.find(c.path + " ") != std::string::npos)
            {
                ++seen[c.path];
                EXPECT_NE(std::string::npos, line.find(" referer=" + c.referer + " agent=" + agent + "")) << line;
            }
    EXPECT_GE(seen[cases[0].path], 2u) << "one request for each section";
    EXPECT_GE(seen[cases[1].path], 1u);
    // Kept with the download in the engine's table (or the journal of its
    // changes since), for its later starts.
    const std::string table = ReadText(EngineFolder() + L"\\downloads.json") + ReadText(EngineFolder() + L"\\downloads.journal");
    EXPECT_NE(std::string::npos, table.find("\"referrer\":\"http://pages.test/list.htm?p=1\"")) << table.substr(0, 2000);
    EXPECT_NE(std::string::npos, table.find(std::string("\"userAgent\":\"") + agent + "\""));
}

void EngineServerTest::RunScript3000(const std::string& url, const std::string& pageAddress)
{
    const unique_hmodule module(::LoadLibraryExW(test::TdmDllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const HRSRC resource = module ? ::FindResourceW(module.get(), MAKEINTRESOURCEW(3000), MAKEINTRESOURCEW(23)) : nullptr;
    ASSERT_TRUE(resource);
    const std::string html(static_cast<const char*>(::LockResource(::LoadResource(module.get(), resource))),
                           ::SizeofResource(module.get(), resource));
    const size_t start = html.find('>', html.find("<script")), end = html.find("</script>");
    ASSERT_TRUE(start != std::string::npos && end != std::string::npos);
    const std::string script =
        "var window = { alert: function (text) { WScript.Echo(\"alert: \" + text); } };\n"
        "var browser = new ActiveXObject(\"TolvaneTest.Browser\");\n"
        "browser.SetPage(\"\", \"" + url + "\");\n" +
        (pageAddress.empty() ? std::string() : "browser.SetPageAddress(\"" + pageAddress + "\");\n") +
        "var link = { tagName: \"A\", href: \"" + url + "\" };\n"
        "var external = { menuArguments: { event: { clientX: 1, clientY: 1 }, document: { links: [link],\n"
        "    elementFromPoint: function () { return null; }, activeElement: link } } };\n" +
        html.substr(start + 1, end - start - 1);
    // This sink settles the file name as a bar would, into the test's folder
    // (the default folder under Wine is the shared home folder's).
    sink->fileAnswer = {NarrowFromWide(folder.c_str(), folder.size()), "data.bin"};
    const Wide path = folder + L"script3000.js";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    FILE* file = ::_wfopen(path.c_str(), L"wb");
    ASSERT_TRUE(file);
    std::fwrite(script.data(), 1, script.size(), file);
    std::fclose(file);
    // The engine's events reach this thread while the script runs: it pumps.
    Wide line = L"cscript.exe //nologo \"" + path + L"\"";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    const unique_handle scriptProcess(process.hProcess), scriptThread(process.hThread);
    ASSERT_TRUE(PumpUntil([&] { return ::WaitForSingleObject(scriptProcess.get(), 0) == WAIT_OBJECT_0; }, 60000));
    DWORD exitCode = 1;
    ::GetExitCodeProcess(scriptProcess.get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
}

// --- hostile servers and hostile input ------------------------------------------

// The requests the test server has seen whose path starts with `path`.
size_t RequestsFor(const TestServer& server, const std::string& path)
{
    const std::string requests = server.Get("/requests"), request = "GET " + path;
    size_t count = 0;
    for (size_t at = requests.find(request); at != std::string::npos; at = requests.find(request, at + 1))
        ++count;
    return count;
}

// A torrent or Metalink answer is saved as the file it is: no tracker is asked,
// none of the files a Metalink names is fetched, no peer port is opened.
TEST_F(EngineServerTest, TorrentAndMetalinkAnswersAreSavedAsPlainFiles)
{
    const std::string listeners = "/listeners?" + UnixPath(EngineFolder() + L"\\aria2.conf");
    for (const char* file : {"hidden.torrent", "hidden.meta4"})
    {
        const long id = AddUrl(std::string(file[7] == 't' ? "/torrent/" : "/metalink/") + file);
        ASSERT_TRUE(WaitFor(kEventCompleted, id)) << file;
        EXPECT_EQ(server->Get(std::string("/sha256/") + file), Sha256OfFile(folder + WideFromNarrow(file)));
    }
    PumpUntil([] { return false; }, 3000);
    EXPECT_EQ(0u, RequestsFor(*server, "/announce") + RequestsFor(*server, "/file/meta-"));
    // aria2 listens on its RPC port alone (it may have been restarted on another).
    const std::string config = ReadText(EngineFolder() + L"\\aria2.conf");
    const size_t at = config.find("rpc-listen-port=");
    ASSERT_NE(std::string::npos, at);
    char rpc[8];
    std::snprintf(rpc, sizeof(rpc), ":%04X", static_cast<unsigned>(std::stoul(config.substr(at + 16))));
    std::istringstream ports(server->Get(listeners));
    size_t count = 0;
    for (std::string port; ports >> port; ++count)
        EXPECT_EQ(rpc, port.substr(port.size() - 5)) << "aria2 opened another port: " << port;
    EXPECT_NE(0u, count);
}

// Content-Disposition names that are no safe file names arrive under a safe
// name in the download's folder (a device name, in any case, with or without
// an extension, with "_" before it, whichever aria2 loads it), a Cyrillic
// RFC 5987 name intact; nothing is
// written outside the folder (aria2 drops a name with a path in it, a backslash
// included: the address names that file), and no download completes without
// its file.
TEST_F(EngineServerTest, ServerNamesAreMadeSafe)
{
    const Wide cases[] = {L"0", L"_CON", L"a_txt.exe", L"name", L"x_y", L"\x043E\x0442\x0447\x0451\x0442.txt", L"6",
                          L"_nul .tar.gz", L"_Com7.log"};
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        const long id = AddUrl("/named/" + std::to_string(i));
        ASSERT_TRUE(PumpUntil([&] { return sink->Has(kEventCompleted, id) || sink->Has(kEventError, id); })) << i;
        ASSERT_FALSE(sink->Has(kEventError, id)) << sink->Of(kEventError, id)[0].arguments[2];
        EXPECT_EQ(server->Get("/sha256/small.bin"), Sha256OfFile(L"\\\\?\\" + folder + cases[i]));
        EXPECT_EQ(Utf8FromWide(folder + cases[i]), PathOf(id));
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((folder + L"..\\..\\escape.txt").c_str()));
}

// Texts with control characters would write lines of their own into aria2's
// session and configuration: each field is refused and named. Names and
// folders a client gives that are not safe are refused with the reason.
TEST_F(EngineServerTest, UnsafeTextsAndPlacesAreRefused)
{
    const std::string base = Utf8FromWide(folder), bad = "x\r\n dir=C:\\ \n allow-overwrite=true";
    using Setter = void (CDownloadOptions::*)(std::wstring_view) const;
    const auto text = [](const Wide& path) { std::ifstream file(std::filesystem::path(path), std::ios::binary);
                                             return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()); };
    // The refusal's text, from the error information of the call. Wine does
    // not carry a local server's error information back to the client (Windows
    // does), so there the text is taken from the engine's newest "Refused:" line.
    const auto description = [&](const CComError& e) {
        unique_bstr t;
        if (e.ErrorInfo() && SUCCEEDED(e.ErrorInfo()->GetDescription(t.put())))
            return Utf8FromWide(WideFromBstr(t.get()));
        const std::string log = text(EngineFolder() + L"\\logs\\common.log");
        const size_t refused = log.rfind("Refused: ");
        return refused == std::string::npos ? std::string() : log.substr(refused, log.find('\n', refused) - refused);
    };
    const std::tuple<Setter, std::string, const char*> cases[] = {
        {&CDownloadOptions::SetUrl, server->Url("/file/") + bad, "address"}, {&CDownloadOptions::SetLocalPath, base + bad, "local path"},
        {&CDownloadOptions::SetUserName, bad, "user name"}, {&CDownloadOptions::SetPassword, bad, "password"},
        {&CDownloadOptions::SetProxyUserName, bad, "proxy user name"}, {&CDownloadOptions::SetProxyPassword, bad, "proxy password"},
        {&CDownloadOptions::SetProxyServers, "proxy:80" + bad, "proxy servers"}, {&CDownloadOptions::SetProxyBypass, bad, "proxy exceptions"},
        {&CDownloadOptions::SetLocalPath, base + "CON", "device"}, {&CDownloadOptions::SetLocalPath, base + "x:y", "colon"},
        {&CDownloadOptions::SetLocalPath, base + "name.", "ends with a dot"}, {&CDownloadOptions::SetLocalPath, base + "..\\..\\up.bin", "names a folder"},
        {&CDownloadOptions::SetLocalPath, "relative\\file.bin", "full local"}, {&CDownloadOptions::SetUrl, "file:///C:/x", "not an http"},
    };
    const size_t added = sink->Of(kEventAdded).size();
    for (const auto& [set, value, named] : cases)
    {
        const CDownloadOptions options = engine.GetOptions(-1);
        options.SetUrl(WideFromUtf8(server->Url("/file/small.bin")));
        (options.*set)(WideFromUtf8(value));
        const CComError refused = test::Raised([&] { engine.AddDownload(options, nullptr, false, L""); });
        EXPECT_EQ(E_INVALIDARG, refused.Status()) << named;
        EXPECT_NE(std::string::npos, description(refused).find(named)) << description(refused);
        const bool injection = value.find('\n') != std::string::npos;  // refused as options of new downloads too
        EXPECT_TRUE(!injection || test::Raised([&] { engine.SetOptions(-1, nullptr, options); }).Status() == E_INVALIDARG);
    }
    const CComError cookie = test::Raised([&] { engine.AddUrl(WideFromUtf8(server->Url("/file/small.bin")), WideFromUtf8(base), nullptr, false, WideFromUtf8(bad)); });
    EXPECT_NE(std::string::npos, description(cookie).find("cookie")) << description(cookie);
    // What IDownloadEngine2 takes with a download of a page: no control
    // character, an http or https referrer ("*" would be aria2's "the address
    // itself"), bounded lengths.
    const std::pair<PageRequest, const char*> pages[] = {
        {{WideFromNarrow("http://p/" + bad), L""}, "referrer contains"},
        {{L"", WideFromNarrow("Agent" + bad)}, "user agent contains"},
        {{L"*", L""}, "not an http"},
        {{L"ftp://p/", L""}, "not an http"},
        {{L"http://p/" + std::wstring(kMaxReferrerLength, L'a'), L""}, "referrer is too long"},
        {{L"", std::wstring(kMaxUserAgentLength + 1, L'a')}, "user agent is too long"},
    };
    for (const auto& [page, named] : pages)
    {
        const CComError refused = test::Raised([&, &page = page] {
            engine.AddUrl(WideFromUtf8(server->Url("/file/small.bin")), folder, nullptr, false, L"", page);
        });
        EXPECT_EQ(E_INVALIDARG, refused.Status()) << named;
        EXPECT_NE(std::string::npos, description(refused).find(named)) << description(refused);
    }
    EXPECT_EQ(added, sink->Of(kEventAdded).size()) << "a refused download was added";
    const std::string log = text(EngineFolder() + L"\\logs\\common.log");
    EXPECT_NE(std::string::npos, log.find("The proxy exceptions contains a control character")) << log;
    // The CA file setting goes into aria2's configuration, a file of lines.
    const CaFileSetting setting(L"C:\\ca.pem\non-download-complete=C:\\evil.exe");
    ASSERT_NE(-1, AddUrl("/file/small.bin?ca-setting"));
    EXPECT_EQ(std::string::npos, text(EngineFolder() + L"\\aria2.conf").find("on-download-complete"));
}

// Failed downloads stay failed: a server that promises more than it sends is
// asked again only as often as the download's retries allow, and the download
// says why it stopped; aria2, which keeps failed downloads in its session,
// does not start them again when it restarts.
TEST_F(EngineServerTest, FailedDownloadsStayFailed)
{
    // Names of their own: a partial file one leaves at its place must not meet the next.
    const std::string paths[] = {"/short/short.bin", "/lying/lying.bin", "/missing?after-restart"};
    for (const std::string& path : paths)
    {
        const long id = AddUrl(path);
        ASSERT_TRUE(WaitFor(kEventStopped, id, 60000)) << path;
        const std::string text = sink->Of(kEventError, id).at(0).arguments[2];
        EXPECT_TRUE(path[1] == 'm' || text.find("does not send the data") != std::string::npos) << text;
    }
    // aria2 saves its session every second. The requests are counted after
    // that too: the server logs a request when it reads it, and it may read
    // the requests of connections aria2 has already closed some time later.
    PumpUntil([] { return false; }, 2500);
    std::vector<size_t> requests;
    for (const std::string& path : paths)
    {
        requests.push_back(RequestsFor(*server, path));
        EXPECT_LE(requests.back(), 8u * 8u) << path;  // each of 8 connections within its retries
    }
    KillBackend();
    PumpUntil([] { return false; }, 6000);  // the engine starts aria2 again as it polls
    for (size_t i = 0; i < std::size(paths); ++i)
        EXPECT_EQ(requests[i], RequestsFor(*server, paths[i])) << paths[i] << " was asked again";
}

// The cookie goes to the download's own host only, credentials only to the
// server that asks for them: a redirection to another host (127.0.0.2) takes
// neither along, and a server that never asks never sees the credentials.
TEST_F(EngineServerTest, CookiesAndCredentialsStayWithTheirServer)
{
    for (const std::string path : {"/to2/auth/small.bin?redirected", "/file/small.bin?never-asks"})
    {
        const CDownloadOptions options = engine.GetOptions(-1);
        options.SetUrl(WideFromUtf8(server->Url(path)));
        options.SetLocalPath(folder + std::to_wstring(path.size()) + L".bin");
        options.SetUserName(L"user");
        options.SetPassword(L"secret");
        engine.AddDownload(options, nullptr, true, L"session=page-cookie");
        ASSERT_TRUE(PumpUntil([&] { return sink->Has(kEventStopped) || sink->Has(kEventCompleted); })) << path;
        sink->events.clear();
    }
    // "host path cookie=... authorization=..." a request
    std::istringstream hosts(server->Get("/hosts"));
    size_t seen = 0;
    for (std::string line; std::getline(hosts, line);)
    {
        const bool first = line.rfind("127.0.0.1 ", 0) == 0, neverAsks = line.find("?never-asks") != std::string::npos;
        if (!neverAsks && line.find("?redirected") == std::string::npos)
            continue;
        ++seen;
        EXPECT_NE(std::string::npos, line.find(first ? "cookie=session=page-cookie" : "cookie=None")) << line;
        EXPECT_TRUE((first && !neverAsks) || line.find("authorization=None") != std::string::npos) << line;
    }
    EXPECT_GE(seen, 3u);
}

// State changes come from aria2's notifications, not from the poll: with the
// poll once a minute, a completion and a failure still reach the client at
// once. (The engine reads its poll interval as it starts: this case runs
// with an engine of its own and leaves none behind.)
TEST_F(EngineServerTest, CompletionsAndFailuresComeBeforeTheNextPoll)
{
    const auto restartEngine = [this] {
        (void)connection.Disconnect();
        engine.reset();
        // The engine holds its mutex while it serves: free means it has ended.
        const unique_handle running(::OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\TolvaneDownloadEngine"));
        if (running && ::WaitForSingleObject(running.get(), 60000) == WAIT_OBJECT_0)
            ::ReleaseMutex(running.get());
        engine = CEngine::Create();
        connection.Connect(engine.get(), sink.get());
    };
    const DWORD minute = 60000;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Tolvane\\Engine", L"PollInterval", REG_DWORD, &minute,
                      sizeof(minute));
    restartEngine();
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Tolvane\\Engine", L"PollInterval");
    const long done = AddUrl("/file/small.bin?pushed"), failed = AddUrl("/missing?pushed");
    EXPECT_TRUE(WaitFor(kEventCompleted, done, 30000));
    EXPECT_TRUE(WaitFor(kEventError, failed, 30000));
    EXPECT_EQ(server->Get("/sha256/small.bin"), Sha256OfFile(WideFromNarrow(PathOf(done))));
    restartEngine();
}

// The engine and its aria2 killed in mid-download (a crash of the session).
// The client's next call fails at once with a COM error. A new engine resumes
// the download from its table and aria2's session file, and the file arrives
// whole.
//
// Wine 8 differs from Windows here: its rpcss keeps the class registration of
// a killed server and hands it out first, so CoCreateInstance answers
// REGDB_E_CLASSNOTREG without starting a new server until every process of the
// prefix has ended. This test therefore starts the new engine itself and
// follows the download by its file and log; it stays the last test of this
// program (GoogleTest runs a program's tests in the order they are written).
TEST_F(EngineServerTest, ANewEngineResumesTheDownloadsOfAKilledOne)
{
    const long id = AddUrl("/slow/slow.bin?killed");
    ASSERT_NE(-1, id);
    // Killed once the name is settled and a later poll has come (the poll that
    // settles a name saves the table): a crash before that leaves the question
    // open, and with no client to answer it the new engine would wait (a loaded
    // machine got there).
    ASSERT_TRUE(PumpUntil([&] {
        const auto info = sink->Of(kEventFileInfo, id);
        return !info.empty() && info.back().arguments[12] == "-1";
    }));
    const size_t polls = sink->Of(kEventProgress, id).size();
    ASSERT_TRUE(PumpUntil([&] {
        return sink->Of(kEventProgress, id).size() > polls && LoadedOf(*sink.get(), id) > 100000;
    }));
    // A batch of adds, the engine killed as the last one returns: none is lost.
    std::vector<std::string> batch;
    for (int i = 0; i < 20; ++i)
    {
        batch.push_back(server->Url("/file/small.bin?batch-" + std::to_string(i)));
        engine.AddUrl(WideFromUtf8(batch.back()), folder, nullptr, false, L"");
    }
    ASSERT_TRUE(KillEngine());
    KillBackend();
    const DWORD start = ::GetTickCount();
    const HRESULT failed = test::Raised([&] { engine.GetTrafficMode(); }).Status();
    EXPECT_TRUE(FAILED(failed) && ::GetTickCount() - start < 10000) << std::hex << failed;
    (void)connection.Disconnect();
    engine.reset();
    const HRESULT created = test::Raised([&] { engine = CEngine::Create(); }).Status();
    if (SUCCEEDED(created))
        return;  // Windows: the new engine is a COM server as usual (not reached under Wine 8)
    EXPECT_EQ(REGDB_E_CLASSNOTREG, created) << std::hex << created;

    // The new engine, started as COM would start it, kept from ending while idle.
    const DWORD delay = 120000;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Tolvane\\Engine", L"ExitDelay", REG_DWORD, &delay, sizeof(delay));
    const Wide dll = test::TdmDllPath();
    Wide line = L"\"" + dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"tdm-engine.exe\" -Embedding";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    const unique_handle engineProcess(process.hProcess), engineThread(process.hThread);
    const std::string expected = server->Get("/sha256/slow.bin");
    EXPECT_TRUE(PumpUntil([&] { return Sha256OfFile(folder + L"slow.bin") == expected; }, 60000));
    // The rest came with a range request.
    const std::string requests = server->Get("/requests");
    EXPECT_TRUE(requests.find("/slow/slow.bin?killed range=bytes=") != std::string::npos &&
                requests.find("/slow/slow.bin?killed range=bytes=0-") == std::string::npos) << requests;
    // Ended the orderly way: it stops its aria2 and leaves.
    ::PostThreadMessageW(process.dwThreadId, WM_QUIT, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(engineProcess.get(), 30000));
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Tolvane\\Engine", L"ExitDelay");
    const std::string table = ReadText(EngineFolder() + L"\\downloads.json");
    for (const std::string& url : batch)
        EXPECT_NE(std::string::npos, table.find("\"" + url + "\"")) << url << " was lost";
}

}  // namespace
