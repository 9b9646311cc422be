// The engine's one check of names and folders that reach the disk.
#include <gtest/gtest.h>

#include <string>

#include "engine_server/file_names.h"

using namespace tdm::engine;

// A server's names become safe names in the download folder; a client's are
// refused (and the safe name of each is accepted).
TEST(FileNamesTest, NamesAreMadeSafeOrRefusedAndFoldersChecked)
{
    const struct
    {
        std::wstring name;
        const wchar_t* safe;
        bool refused;
    } cases[] = {
        {L"report.pdf", L"report.pdf", false}, {L"\x0444\x0430\x0439\x043B.txt", L"\x0444\x0430\x0439\x043B.txt", false},
        {L"../../escape.txt", L".._.._escape.txt", true}, {L"..\\win.ini", L".._win.ini", true}, {L"..", L"download", true},
        {L"", L"download", true}, {L"CON", L"_CON", true}, {L"con.txt", L"_con.txt", true}, {L"lpt9", L"_lpt9", true},
        {L"COM0", L"COM0", false}, {L"console", L"console", false}, {L"a\x202Etxt.exe", L"a_txt.exe", true},
        {L"a\x2066" L"b", L"a_b", true}, {L"name.", L"name", true}, {L"name . ", L"name", true}, {L"x:y", L"x_y", true},
        {L"a\r\ndir=C:\\", L"a__dir=C__", true}, {std::wstring(L"a\0b", 3), L"a_b", true}, {L"a\x85" L"b", L"a_b", true},
        {L"what?.bin", L"what_.bin", true}, {L"x\xF03Ay", L"x_y", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.name));
        EXPECT_EQ(c.safe, SafeFileName(c.name));
        EXPECT_EQ(c.refused, FileNameProblem(c.name) != nullptr);
        EXPECT_EQ(nullptr, FileNameProblem(SafeFileName(c.name)));
    }
    // Folders: full local or network paths of safe names only.
    const std::pair<const wchar_t*, bool> folders[] = {
        {L"C:\\Users\\me\\Downloads\\", true}, {L"d:/data", true}, {L"\\\\server\\share\\in", true}, {L"C:\\", true},
        {L"Downloads\\", false}, {L"\\Downloads", false}, {L"C:relative", false}, {L"C:\\a\\..\\..\\Windows", false},
        {L"C:\\a\\CON\\", false}, {L"C:\\a.\\", false}, {L"\\\\server", false}, {L"\\\\?\\C:\\x", false},
        {L"\\\\.\\pipe\\x", false}, {L"C:\\a\nb", false}, {L"C:\\a:stream", false}, {L"", false},
    };
    for (const auto& [folder, accepted] : folders)
        EXPECT_EQ(accepted, FolderProblem(folder) == nullptr) << testing::PrintToString(std::wstring(folder));
}
