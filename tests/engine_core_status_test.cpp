// The engine core's status diff against a scripted aria2: recorded answers in, the engine's events out.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "engine_server/engine_core.h"
#include "support/scripted_aria2.h"
#include "support/registry_sandbox.h"

namespace tdm::engine {

using nlohmann::json;

using Ids = std::vector<DISPID>;
// The core's events go to the test, which records them.
class EngineStatusDiffTest : public ::testing::Test, public CEngineEvents
{
protected:
    void Fire(DISPID id, std::vector<EventArgument> arguments) noexcept override
    {
        m_ids.push_back(id);
        m_arguments.push_back(std::move(arguments));
    }
    void Ask(DISPID id, std::vector<EventArgument>, size_t, AnswerHandler) noexcept override { Fire(id, {}); }
    void SetUp() override
    {
        ASSERT_EQ(m_core.Init(m_folder.wstring() + L"\\data"), S_OK);
        ASSERT_EQ(m_core.AddDownload({L"http://files.test/big.bin", 120, m_file.wstring()}, 0, true, -1, L""), S_OK);
        m_gid = m_aria2["addUri"].get<std::string>();
    }
    json Status(const char* status, uint64_t total, uint64_t done, const json& more = json::object()) const
    {
        json answer = {{"gid", m_gid}, {"status", status}, {"totalLength", std::to_string(total)},
                       {"completedLength", std::to_string(done)}};
        answer["files"] = json::array({{{"path", m_file.u8string()}}});
        answer.update(more);
        return answer;
    }
    Ids Poll()
    {
        m_ids.clear();
        m_arguments.clear();
        m_core.Poll();
        return m_ids;
    }
    // Argument `i` of the first event `id` the last poll fired (at() throws when there is none).
    const VARIANT* Fired(DISPID id, size_t i) const
    {
        return m_arguments.at(std::find(m_ids.begin(), m_ids.end(), id) - m_ids.begin()).at(i).value.get();
    }
    // Removed once the core, which keeps its journal open, has gone.
    struct Folder : std::filesystem::path
    {
        ~Folder() { std::error_code ignored; std::filesystem::remove_all(*this, ignored); }
    } const m_folder{std::filesystem::temp_directory_path() / ("tdm_diff_" + std::to_string(::GetCurrentProcessId()))};
    const std::filesystem::path m_file = m_folder / "big.bin";
    tdm::test::RegistrySandbox m_registry;
    ScriptedAria2 m_aria2;
    Ids m_ids;
    std::vector<std::vector<EventArgument>> m_arguments;
    CEngineCore m_core{*this, m_aria2};
    std::string m_gid;
};

TEST_F(EngineStatusDiffTest, AWaitingDownloadLoadsInSectionsAndCompletesOnce)
{
    EXPECT_EQ(Poll(), Ids{}) << "waiting in aria2: nothing changed";
    const auto loading = [&](const char* bitfield, uint64_t done) {
        const json pieces = {{"connections", "4"}, {"numPieces", "8"}, {"pieceLength", "1000"}, {"bitfield", bitfield}};
        m_aria2["tellActive"] = json::array({Status("active", 8000, done, pieces)});
    };
    loading("f0", 4000);
    EXPECT_EQ(Poll(), (Ids{kEventFileInfo, kEventResumeSupport, kEventSections, kEventProgress, kEventStateChanged}));
    const VARIANT* sections = Fired(kEventSections, 1);
    ASSERT_EQ(V_VT(sections), VT_ARRAY | VT_UI4);
    const auto cell = [&](LONG row, LONG column) {  // columns: origin, length, speed, loaded
        LONG index[2] = {row, column};
        ULONG value = ~0u;
        return SUCCEEDED(::SafeArrayGetElement(V_ARRAY(sections), index, &value)) ? value : ~0u;
    };
    ULONG origin = 0, loaded[] = {2000, 2000, 0, 0};
    for (LONG row = 0; row < 4; origin += cell(row++, 1))
        EXPECT_TRUE(cell(row, 0) == origin && cell(row, 3) == loaded[row]) << "section " << row;
    EXPECT_EQ(origin, 8000u) << "the sections cover the file";
    loading("fc", 6000);
    EXPECT_EQ(Poll(), (Ids{kEventSectionProgress, kEventSectionFinished, kEventProgress}));
    EXPECT_EQ(V_I4(Fired(kEventSectionFinished, 2)), 3);
    std::ofstream(m_file, std::ios::binary) << std::string(8000, 'x');
    m_aria2["tellActive"] = json::array();
    m_aria2["tellStopped"] = json::array({{{"gid", m_gid}, {"status", "complete"}}});
    m_aria2["tellStatus"] = Status("complete", 8000, 8000);
    EXPECT_EQ(Poll(), (Ids{kEventSectionFinished, kEventProgress, kEventStateChanged, kEventCompleted}));
    EXPECT_EQ(V_I4(Fired(kEventSectionFinished, 2)), 4) << "the section still loading ends with the download";
    EXPECT_EQ(V_I4(Fired(kEventProgress, 2)), 8000);
    EXPECT_EQ(V_I4(Fired(kEventStateChanged, 1)), kStateComplete);
    EXPECT_EQ(Poll(), Ids{}) << "a completion is told once";
}

TEST_F(EngineStatusDiffTest, AnErrorIsToldThenStoppedAndLeavesAria2sSession)
{
    m_aria2["tellStopped"] = json::array({{{"gid", m_gid}, {"status", "error"}}});
    m_aria2["tellStatus"] = Status("error", 0, 0, {{"errorCode", "3"}, {"errorMessage", "not found"}});
    EXPECT_EQ(Poll(), (Ids{kEventStateChanged, kEventError, kEventStopped}));
    EXPECT_EQ(V_I4(Fired(kEventStateChanged, 1)), kStateComplete | kStateError);
    EXPECT_EQ(V_I4(Fired(kEventError, 1)), MAKE_HRESULT(SEVERITY_ERROR, 25, 404)) << "an http server's 404";
    EXPECT_EQ(m_aria2.Count("aria2.removeDownloadResult", m_gid), 1u) << "aria2 would start it again itself";
    EXPECT_EQ(Poll(), Ids{});
}

TEST_F(EngineStatusDiffTest, ForeignAndMalformedAnswersChangeNothing)
{
    m_aria2["tellActive"] = json::array({{{"gid", "f00d"}, {"status", "active"}}});
    m_aria2["tellStopped"] = json::array({{{"gid", "beef"}, {"status", "complete"}}});
    EXPECT_EQ(Poll(), Ids{});
    EXPECT_EQ(m_aria2.Count("aria2.forceRemove", "f00d"), 1u);
    EXPECT_EQ(m_aria2.Count("aria2.removeDownloadResult", "beef"), 1u);
    for (const json& active : {json::array({{{"gid", 7}, {"status", "active"}}}), json::array({{{"gid", m_gid}}}),
                               json::array({Status("active", 1000, 400, {{"totalLength", 1000}})}),
                               json::array({Status("sleeping", 1000, 400)}), json::array({"x"}), json("x")})
    {
        m_aria2["tellActive"] = active;
        EXPECT_EQ(Poll(), Ids{}) << active.dump();
    }
    m_aria2["tellActive"] = json::array({Status("active", 1000, 400)});
    EXPECT_EQ(Poll(), (Ids{kEventFileInfo, kEventProgress, kEventStateChanged})) << "the first change is still to tell";
}

// A download added paused reaches aria2 only when it starts, in its own staging
// folder; the journal carries the start and a removal to the next engine; a
// staging folder no download owns goes when an engine starts.
TEST_F(EngineStatusDiffTest, APausedAddStartsLaterAndTheJournalCarriesChanges)
{
    const size_t calls = m_aria2.calls.size();
    const std::wstring folder = m_folder.wstring() + L"\\";
    EXPECT_EQ(m_core.AddDownload({L"javascript:alert(1)", 120, folder}, 0, false, -1, L""), E_INVALIDARG);
    m_ids.clear();
    m_arguments.clear();
    ASSERT_EQ(m_core.AddDownload({L"http://files.test/named", 120, folder}, 0, false, -1, L""), S_OK);
    ASSERT_EQ(m_ids, Ids{kEventAdded});
    const long id = V_I4(m_arguments[0][0].value.get());
    EXPECT_EQ(m_aria2.calls.size(), calls) << "a paused add waits for its start";
    const std::filesystem::path logs = m_folder / "data" / "logs";
    std::ofstream(logs / (std::to_string(id) + ".log")) << "earlier\n";  // where an earlier version logged
    std::wstring log;
    ASSERT_EQ(m_core.GetLog(id, log), S_OK);
    EXPECT_TRUE(log.find(L"earlier") == 0 && log.find(L"Added http://files.test/named") != std::wstring::npos) << log;
    ASSERT_EQ(m_core.Start(id, 0, L""), S_OK);
    ASSERT_EQ(m_aria2.calls.back().first, "aria2.addUri");
    const std::filesystem::path staging = m_folder / "data" / "staging", own = staging / std::to_string(id);
    EXPECT_EQ(m_aria2.calls.back().second[1]["dir"], own.u8string());

    ASSERT_TRUE(std::filesystem::exists(logs / "0" / "1.log")) << "a thousand downloads' logs to a folder";
    ASSERT_EQ(m_core.Delete(1), S_OK);  // the download of SetUp
    Poll();                             // the start goes into the journal
    EXPECT_FALSE(std::filesystem::exists(logs / "0" / "1.log")) << "a removed download's log goes";

    for (const char* name : {"41", "041", "keep"})
        std::filesystem::create_directories(staging / name);
    std::ofstream(staging / "41" / "left.bin") << "x";
    std::filesystem::create_directories(own);
    CEngineCore next{*this, m_aria2};  // the journal holds the add
    ASSERT_EQ(next.Init(m_folder.wstring() + L"\\data"), S_OK);
    EXPECT_FALSE(std::filesystem::exists(staging / "41"));
    for (const std::filesystem::path& kept : {staging / "041", staging / "keep", own})
        EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
    const size_t started = m_aria2.calls.size();
    EXPECT_EQ(next.Start(id, 0, L""), S_OK);
    EXPECT_EQ(m_aria2.calls.size(), started) << "the journal holds the start: it runs already";
    EXPECT_EQ(next.Start(1, 0, L""), E_INVALIDARG) << "the journal holds the removal";
}

}  // namespace tdm::engine
