// Paths as a Windows aria2 reports them, against the ones the engine keeps.
#include <gtest/gtest.h>

#include <string>

#include "engine_server/backend_path.h"

using namespace tdm::engine;

TEST(BackendPathTest, ReportedPathsBecomeTheKeptForm)
{
    const struct
    {
        const wchar_t* reported;
        const wchar_t* kept;
    } cases[] = {
        {L"C:/Users/a/Downloads/x.zip", L"C:\\Users\\a\\Downloads\\x.zip"},
        {L"C:\\Users\\a\\x.zip", L"C:\\Users\\a\\x.zip"},
        {L"C:/Users//a\\/x.zip", L"C:\\Users\\a\\x.zip"},
        {L"\\\\?\\C:\\very\\long\\name.bin", L"C:\\very\\long\\name.bin"},
        {L"//?/C:/very/long/name.bin", L"C:\\very\\long\\name.bin"},
        {L"\\\\?\\UNC\\server\\share\\f.txt", L"\\\\server\\share\\f.txt"},
        {L"//server/share/f.txt", L"\\\\server\\share\\f.txt"},
        {L"C:/\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438/\u6587\u4ef6.txt",
         L"C:\\\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438\\\u6587\u4ef6.txt"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::wstring(c.kept), WindowsPath(c.reported)) << c.reported;
}

TEST(BackendPathTest, SameFileSpelledDifferentlyIsTheSamePath)
{
    const struct
    {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    } cases[] = {
        {L"C:/Users/a/Downloads/", L"C:\\Users\\a\\Downloads\\", true},
        {L"C:/Users/a/Downloads", L"c:\\users\\A\\Downloads\\", true},
        {L"\\\\?\\C:\\d\\", L"C:/d/", true},
        {L"C:\\", L"C:/", true},
        {L"C:\\d\\", L"C:\\d2\\", false},
        {L"C:\\d\\", L"D:\\d\\", false},
        {L"C:\\d\\e\\", L"C:\\d\\", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.same, SamePath(c.a, c.b)) << c.a << L" | " << c.b;
}
