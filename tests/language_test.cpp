// Interface language: string loading in the current language, the neutral
// lookup, the stored language, and moving the context-menu entries. The system
// locale is Russian so that Russian texts survive the ANSI code page.
// test-locale: ru_RU.UTF-8
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "framework/unique_any.h"
#include "module/context_menu.h"
#include "resources/resource.h"
#include "store/settings_store.h"
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

const wchar_t kEnglishEntry[] = L"&Download by Tolvane Download Manager";
const wchar_t kRussianEntry[] = L"&Закачать при помощи Tolvane Download Manager";
const wchar_t kEnglishPageEntry[] = L"Download all &links by Tolvane Download Manager";
const wchar_t kRussianPageEntry[] = L"Закачать все &ссылки при помощи Tolvane Download Manager";

std::wstring MenuKey(const wchar_t* name)
{
    return std::wstring(L"Software\\Microsoft\\Internet Explorer\\MenuExt\\") + name;
}

bool MenuEntryExists(const wchar_t* name)
{
    unique_hkey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, MenuKey(name).c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// An entry as the browser reads it: "<script number> <contexts>", or "" when it is missing.
std::wstring MenuEntry(const wchar_t* name)
{
    wchar_t script[MAX_PATH + 32] = {};
    DWORD size = sizeof(script), contexts = 0, contextsSize = sizeof(contexts);
    if (::RegGetValueW(HKEY_CURRENT_USER, MenuKey(name).c_str(), nullptr, RRF_RT_REG_SZ, nullptr, script, &size) ||
        ::RegGetValueW(HKEY_CURRENT_USER, MenuKey(name).c_str(), L"Contexts", RRF_RT_REG_DWORD, nullptr, &contexts,
                       &contextsSize))
        return L"";
    const std::wstring text(script);
    return text.substr(text.find_last_of(L'/') + 1) + L" " + std::to_wstring(contexts);
}

}  // namespace

TEST(LanguageTest, LoadsTextsOfTheCurrentLanguage)
{
    ASSERT_EQ(1251u, ::GetACP()) << "the test runs in a Russian system locale";
    {
        LanguageScope english(1033);
        EXPECT_EQ("&Download by Tolvane Download Manager", LoadUiString(IDS_MENU_DOWNLOAD_BY));
        EXPECT_EQ(std::wstring(kEnglishPageEntry), LoadUiStringW(IDS_MENU_DOWNLOAD_ALL_BY));
    }
    LanguageScope russian(1049);
    EXPECT_EQ(std::wstring(kRussianEntry), LoadUiStringW(IDS_MENU_DOWNLOAD_BY));
    // The 8-bit text is in the ANSI code page (1251 here): "&З" is 0x26 0xC7.
    const std::string narrow = LoadUiString(IDS_MENU_DOWNLOAD_BY);
    EXPECT_EQ("&\xC7", narrow.substr(0, 2));
    EXPECT_EQ(std::wstring(kRussianEntry).size(), narrow.size());
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

// Both entries (the link's, on links and images; the page's, on the page) move
// together when the language changes, with their scripts and contexts.
TEST(LanguageTest, ChangingTheLanguageMovesBothContextMenuEntriesThroughTheModulesHook)
{
    test::RegistrySandbox sandbox;
    LanguageScope english(1033);
    ASSERT_EQ(S_OK, RegisterContextMenuEntries());
    EXPECT_EQ(L"3000 34", MenuEntry(kEnglishEntry));
    EXPECT_EQ(L"3001 1", MenuEntry(kEnglishPageEntry));

    SetUiLanguage(1049);
    EXPECT_EQ(1049, GetUiLanguage());
    EXPECT_EQ(L"", MenuEntry(kEnglishEntry));
    EXPECT_EQ(L"", MenuEntry(kEnglishPageEntry));
    EXPECT_EQ(L"3000 34", MenuEntry(kRussianEntry));
    EXPECT_EQ(L"3001 1", MenuEntry(kRussianPageEntry));
    SetUiLanguage(1049);
    EXPECT_TRUE(MenuEntryExists(kRussianEntry)) << "an unchanged language must not remove the entries";
    EXPECT_TRUE(MenuEntryExists(kRussianPageEntry));
    SetUiLanguage(1033);
    EXPECT_EQ(L"3000 34", MenuEntry(kEnglishEntry));
    EXPECT_EQ(L"3001 1", MenuEntry(kEnglishPageEntry));
    EXPECT_FALSE(MenuEntryExists(kRussianEntry));
    EXPECT_FALSE(MenuEntryExists(kRussianPageEntry));

    // Removal in the language of the registration takes both.
    EXPECT_EQ(S_OK, RemoveContextMenuEntries());
    EXPECT_FALSE(MenuEntryExists(kEnglishEntry));
    EXPECT_FALSE(MenuEntryExists(kEnglishPageEntry));
}

// A language without texts has no entry to write or remove; the other add-ons'
// entries, next to where it would be, stay.
TEST(LanguageTest, ALanguageWithoutTextsLeavesTheOtherEntriesAlone)
{
    test::RegistrySandbox sandbox;
    LanguageScope german(1031);
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CURRENT_USER, MenuKey(L"Other add-on").c_str(), nullptr, REG_SZ,
                                               L"res://other", 24));
    EXPECT_EQ(S_FALSE, RegisterContextMenuEntries());
    EXPECT_EQ(S_OK, RemoveContextMenuEntries());
    EXPECT_TRUE(MenuEntryExists(L"Other add-on"));
}

TEST(LanguageTest, FirstUseReadsTheStoredLanguage)
{
    test::RegistrySandbox sandbox;
    LanguageScope restore(1033);
    SetLanguageID(1049);
    ForgetUiLanguage();
    EXPECT_EQ(std::wstring(kRussianEntry), LoadUiStringW(IDS_MENU_DOWNLOAD_BY));
    EXPECT_EQ(1049, GetUiLanguage());
}
