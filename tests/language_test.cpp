// Interface language: string loading in the current language, the neutral
// lookup, the help file name, and moving the context-menu entries.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "resources/resource.h"
#include "text/language.h"

using namespace tdm;

namespace {

// Restores the process's interface language after a test.
struct LanguageScope
{
    explicit LanguageScope(WORD language) : saved(GetUiLanguage()) { ResetUiLanguage(language); }
    ~LanguageScope() { ResetUiLanguage(saved); }
    WORD saved;
};

}  // namespace

TEST(LanguageTest, LoadsTextsOfTheCurrentLanguage)
{
    {
        LanguageScope english(1033);
        EXPECT_EQ("&Download by Tolvane Download Manager", LoadUiString(IDS_MENU_DOWNLOAD_BY));
    }
    {
        LanguageScope russian(1049);
        EXPECT_EQ(L"&Закачать при помощи Tolvane Download Manager", LoadUiStringW(IDS_MENU_DOWNLOAD_BY));
        printf("acp %u narrow: %s\n", GetACP(), LoadUiString(IDS_MENU_DOWNLOAD_BY).c_str());
    }
}
