// Interface language: string loading in the current language, the neutral
// lookup, the help file name, and moving the context-menu entries. The system
// locale is Russian so that Russian texts survive the ANSI code page.
// test-locale: ru_RU.UTF-8
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "framework/unique_any.h"
#include "module/context_menu.h"
#include "resources/resource.h"
#include "support/registry_sandbox.h"
#include "text/language.h"

using namespace tdm;

namespace {

// Sets the process's interface language for a test and restores it afterwards.
struct LanguageScope
{
    explicit LanguageScope(WORD language) : saved(GetUiLanguage()) { ResetUiLanguage(language); }
    ~LanguageScope() { ResetUiLanguage(saved); }
    WORD saved;
};

const wchar_t kMenuExt[] = L"Software\\Microsoft\\Internet Explorer\\MenuExt\\";
const wchar_t kEnglishEntry[] = L"&Download by Tolvane Download Manager";
const wchar_t kRussianEntry[] = L"&Закачать при помощи Tolvane Download Manager";

bool MenuEntryExists(const wchar_t* name)
{
    unique_hkey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kMenuExt) + name).c_str(), 0, KEY_READ, key.put()) ==
           ERROR_SUCCESS;
}

}  // namespace

TEST(LanguageTest, LoadsTextsOfTheCurrentLanguage)
{
    ASSERT_EQ(1251u, ::GetACP()) << "the test runs in a Russian system locale";
    {
        LanguageScope english(1033);
        EXPECT_EQ("&Download by Tolvane Download Manager", LoadUiString(IDS_MENU_DOWNLOAD_BY));
        EXPECT_EQ(L"Download &All By Tolvane Download Manager", LoadUiStringW(IDS_MENU_DOWNLOAD_ALL_BY));
    }
    {
        LanguageScope russian(1049);
        EXPECT_EQ(std::wstring(kRussianEntry), LoadUiStringW(IDS_MENU_DOWNLOAD_BY));
        // The 8-bit text is in the ANSI code page (1251 here): "&З" is 0x26 0xC7.
        const std::string narrow = LoadUiString(IDS_MENU_DOWNLOAD_BY);
        ASSERT_GE(narrow.size(), 2u);
        EXPECT_EQ('&', narrow[0]);
        EXPECT_EQ(static_cast<char>(0xC7), narrow[1]);
        EXPECT_EQ(std::wstring(kRussianEntry).size(), narrow.size());
    }
}

TEST(LanguageTest, MissingTablesAndIdsGiveEmptyTextsButTheNeutralLookupFindsTheProductName)
{
    for (WORD language : {1033, 1049, 1031})
    {
        LanguageScope scope(language);
        EXPECT_EQ("", LoadUiString(65535)) << language;
        EXPECT_EQ(language == 1031, LoadUiString(IDS_PRODUCT_NAME).empty()) << language;
        EXPECT_EQ("Tolvane Download Manager", LoadNeutralString(IDS_PRODUCT_NAME)) << language;
        EXPECT_FALSE(LoadNeutralString(IDS_HELP_LAUNCH_FAILED).empty()) << language;
    }
}

TEST(LanguageTest, HelpFileIsNamedAfterTheLanguageInTheModuleFolder)
{
    char module[MAX_PATH];
    ASSERT_NE(0u, ::GetModuleFileNameA(nullptr, module, MAX_PATH));
    std::string folder(module);
    folder.erase(folder.find_last_of('\\') + 1);
    {
        LanguageScope russian(1049);
        EXPECT_EQ(folder + "tdm1049.chm", HelpFilePath());
    }
    {
        LanguageScope english(1033);
        EXPECT_EQ(folder + "tdm1033.chm", HelpFilePath());
    }
}

TEST(LanguageTest, HelpWithoutAHelpFileShowsNoWindow)
{
    LanguageScope english(1033);
    // No tdm1033.chm is installed next to the test program.
    EXPECT_EQ(nullptr, ShowHelp(nullptr, 0x2012D));
    EXPECT_EQ(nullptr, ShowHelp(nullptr, kHelpContents));
}

TEST(LanguageTest, ChangingTheLanguageMovesTheContextMenuEntryThroughTheModulesHook)
{
    test::RegistrySandbox sandbox;
    LanguageScope english(1033);
    ASSERT_EQ(S_OK, RegisterContextMenuEntry());
    ASSERT_TRUE(MenuEntryExists(kEnglishEntry));

    SetUiLanguage(1049);
    EXPECT_EQ(1049, GetUiLanguage());
    EXPECT_FALSE(MenuEntryExists(kEnglishEntry));
    EXPECT_TRUE(MenuEntryExists(kRussianEntry));

    SetUiLanguage(1049);
    EXPECT_TRUE(MenuEntryExists(kRussianEntry)) << "an unchanged language must not remove the entry";
    SetUiLanguage(1033);
    EXPECT_TRUE(MenuEntryExists(kEnglishEntry));
    EXPECT_FALSE(MenuEntryExists(kRussianEntry));
}

TEST(LanguageTest, FirstUseReadsTheStoredLanguage)
{
    test::RegistrySandbox sandbox;
    LanguageScope restore(1033);
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Tolvane\\Download Manager\\Settings", 0,
                                               nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
    const DWORD russian = 1049;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExA(key.get(), "LanguageID", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&russian), sizeof(russian)));
    ForgetUiLanguage();
    EXPECT_EQ(std::wstring(kRussianEntry), LoadUiStringW(IDS_MENU_DOWNLOAD_BY));
    EXPECT_EQ(1049, GetUiLanguage());
}
