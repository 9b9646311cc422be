// Paths as a Windows aria2 reports them, against the ones the engine keeps.
#include <gtest/gtest.h>

#include <string>

#include "engine_server/backend_path.h"

using namespace tdm::engine;

// Each reported spelling becomes the kept form: separators either way and
// repeated, long-path prefixes, network paths, Unicode names.
TEST(BackendPathTest, ReportedPathsBecomeTheKeptForm)
{
    const struct
    {
        const wchar_t* reported;
        const wchar_t* kept;
    } cases[] = {
        {L"C:/Users/a/Downloads/x.zip", L"C:\\Users\\a\\Downloads\\x.zip"},
        {L"C:/Users//a\\/x.zip", L"C:\\Users\\a\\x.zip"},
        {L"\\\\?\\C:\\very\\long\\name.bin", L"C:\\very\\long\\name.bin"},
        {L"//?/C:/very/long/name.bin", L"C:\\very\\long\\name.bin"},
        {L"\\\\?\\UNC\\server\\share\\f.txt", L"\\\\server\\share\\f.txt"},
        {L"//server/share/f.txt", L"\\\\server\\share\\f.txt"},
        {L"C:/\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438/\u6587.txt", L"C:\\\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438\\\u6587.txt"},
        {L"C:/", L"C:\\"},
        {L"C:\\d\\already kept.txt", L"C:\\d\\already kept.txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::wstring(c.kept), WindowsPath(c.reported)) << c.reported;
}
