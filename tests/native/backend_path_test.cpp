// Paths as a Windows aria2 reports them, against the ones the engine keeps.
#include <gtest/gtest.h>

#include <string>

#include "engine_server/backend_path.h"

using namespace tdm::engine;

// Each reported path becomes the kept form; SamePath holds for the pair (and
// for differently spelt folders) and not for another folder.
TEST(BackendPathTest, ReportedPathsBecomeTheKeptForm)
{
    const struct
    {
        const wchar_t* reported;
        const wchar_t* kept;
        bool exact = true;  // WindowsPath gives `kept` itself, not another spelling
    } cases[] = {
        {L"C:/Users/a/Downloads/x.zip", L"C:\\Users\\a\\Downloads\\x.zip"},
        {L"C:/Users//a\\/x.zip", L"C:\\Users\\a\\x.zip"},
        {L"\\\\?\\C:\\very\\long\\name.bin", L"C:\\very\\long\\name.bin"},
        {L"//?/C:/very/long/name.bin", L"C:\\very\\long\\name.bin"},
        {L"\\\\?\\UNC\\server\\share\\f.txt", L"\\\\server\\share\\f.txt"},
        {L"//server/share/f.txt", L"\\\\server\\share\\f.txt"},
        {L"C:/\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438/\u6587.txt", L"C:\\\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438\\\u6587.txt"},
        {L"c:/users/A/", L"C:\\Users\\a", false},
        {L"C:/", L"C:\\"},
    };
    for (const auto& c : cases)
    {
        EXPECT_TRUE(SamePath(c.reported, c.kept)) << c.reported;
        if (c.exact)
            EXPECT_EQ(std::wstring(c.kept), WindowsPath(c.reported)) << c.reported;
    }
    for (const auto& [a, b] : {std::pair(L"C:\\d\\", L"C:\\d2\\"), std::pair(L"C:\\d\\", L"D:\\d\\"),
                               std::pair(L"C:\\d\\e\\", L"C:\\d\\")})
        EXPECT_FALSE(SamePath(a, b)) << a << L" | " << b;
}
