// Checks the English and Russian string tables of the built module.
//
// The module is loaded as a data file from the path in TDM_DLL_PATH; the
// tables are read block by block, exactly as the module's own string loader
// finds them (block id / 16 + 1, entry id % 16), so what is checked here is
// what the running client will see.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>

#include "resources/resource.h"
#include "support/process.h"

namespace {

const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);  // 1033
const LANGID kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);     // 1049

// RT_STRING is narrow or wide depending on UNICODE; the wide calls need it wide.
const LPCWSTR kStringType = reinterpret_cast<LPCWSTR>(RT_STRING);

// Ids the code relies on, spread over several blocks, low and high.
const unsigned kKeyIds[] = {2, 9, 101, IDS_PRODUCT_NAME, 141, IDS_INCORRECT_URL_FMT, 183, 184, IDS_VERSION_TEXT, 32796};

// The number of strings the client defines; a table with fewer lost some.
const size_t kMinimumStringCount = 165;

using StringTable = std::map<unsigned, std::wstring>;

std::string Narrow(const std::wstring& text) {
    std::string result(text.size() * 3, '\0');
    result.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                          result.data(), static_cast<int>(result.size()), nullptr,
                                                          nullptr)));
    return result;
}

// Reads every string-table block of `lang`: 16 counted UTF-16 entries each.
// Empty entries are absent ids.
StringTable ReadTable(HMODULE module, LANGID lang) {
    StringTable table;
    for (unsigned block = 1; block <= 4096; ++block) {
        HRSRC found = FindResourceExW(module, kStringType, MAKEINTRESOURCEW(block), lang);
        if (found == nullptr) continue;
        const WCHAR* data = static_cast<const WCHAR*>(LockResource(LoadResource(module, found)));
        const size_t words = data ? SizeofResource(module, found) / sizeof(WCHAR) : 0;
        size_t pos = 0;
        for (unsigned entry = 0; entry < 16; ++entry) {
            if (pos >= words || pos + 1 + data[pos] > words) {
                ADD_FAILURE() << "block " << block << " (language " << lang << ") is cut short at entry " << entry;
                break;
            }
            const size_t length = data[pos++];
            if (length != 0) table[(block - 1) * 16 + entry] = std::wstring(data + pos, length);
            pos += length;
        }
    }
    return table;
}

// The printf conversions of a text, in order and separated by spaces ("%s %.2d
// %%"); "stray %" for a '%' that starts no conversion.
std::string FormatSpecifiers(const std::wstring& text) {
    static const std::wregex conversion(
        L"%(%|[-+ #0]*(\\*|[0-9]*)(\\.(\\*|[0-9]*))?(hh|ll|I64|I32|[hlLIwzjt])?[diouxXeEfgGaAcCsSpn])");
    std::string specs;
    for (std::wsregex_iterator it(text.begin(), text.end(), conversion), end; it != end; ++it)
        specs += (specs.empty() ? "" : " ") + Narrow(it->str());
    if (std::regex_replace(text, conversion, L"").find(L'%') != std::wstring::npos) return "stray %";
    return specs;
}

// Accelerator markers ('&' that is not half of a literal "&&"), and whether one
// is the last character.
std::pair<size_t, bool> Accelerators(const std::wstring& text) {
    const std::wstring markers = std::regex_replace(text, std::wregex(L"&&"), L"");
    return {static_cast<size_t>(std::count(markers.begin(), markers.end(), L'&')),
            !markers.empty() && markers.back() == L'&'};
}

// The client converts every text to the ANSI code page of its language.
bool FitsCodePage(const std::wstring& text, UINT codePage) {
    BOOL usedDefault = FALSE;
    return text.empty() || (WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(),
                                                static_cast<int>(text.size()), nullptr, 0, nullptr,
                                                &usedDefault) > 0 &&
                            !usedDefault);
}

BOOL CALLBACK CollectBlock(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    if (IS_INTRESOURCE(name)) reinterpret_cast<std::set<UINT_PTR>*>(param)->insert(reinterpret_cast<UINT_PTR>(name));
    return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR param) {
    reinterpret_cast<std::set<LANGID>*>(param)->insert(lang);
    return TRUE;
}

// The module's tables, read once.
struct Tables {
    HMODULE module = LoadLibraryExW(tdm::test::TdmDllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    StringTable english = module ? ReadTable(module, kEnglish) : StringTable();
    StringTable russian = module ? ReadTable(module, kRussian) : StringTable();
};

const Tables& LoadedTables() {
    static const Tables tables;
    return tables;
}

class StringTablesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_, nullptr) << "cannot load TDM_DLL_PATH \"" << Narrow(tdm::test::TdmDllPath())
                                    << "\" as a data file";
    }

    HMODULE module_ = LoadedTables().module;
    const StringTable& english_ = LoadedTables().english;
    const StringTable& russian_ = LoadedTables().russian;
};

// Strings come in English and Russian only, with the same ids. A neutral copy
// would be picked up by lookups for languages without a table (which must come
// out empty), and would pin the neutral lookups to one language.
TEST_F(StringTablesTest, EnglishAndRussianAloneDefineTheSameIds) {
    EXPECT_GE(english_.size(), kMinimumStringCount);
    for (unsigned id : kKeyIds)
        EXPECT_EQ(english_.count(id), 1u) << "English lacks string " << id;
    for (const auto& [table, other, missing] :
         {std::make_tuple(&english_, &russian_, "Russian"), std::make_tuple(&russian_, &english_, "English")})
        for (const auto& entry : *table)
            EXPECT_EQ(other->count(entry.first), 1u)
                << "string " << entry.first << " \"" << Narrow(entry.second) << "\" has no " << missing << " text";

    std::set<UINT_PTR> blocks;
    ASSERT_TRUE(EnumResourceNamesW(module_, kStringType, CollectBlock, reinterpret_cast<LONG_PTR>(&blocks)));
    for (UINT_PTR block : blocks) {
        std::set<LANGID> langs;
        EnumResourceLanguagesW(module_, kStringType, MAKEINTRESOURCEW(block), CollectLanguage,
                               reinterpret_cast<LONG_PTR>(&langs));
        EXPECT_EQ(langs, (std::set<LANGID>{kEnglish, kRussian})) << "languages of string block " << block;
    }
}

// Per text: the translation keeps the conversions, line breaks and tabs; at
// most one well-formed accelerator; the text survives the conversion to its
// ANSI code page (any one for English); the Russian texts are translated.
TEST_F(StringTablesTest, EveryTextAndItsTranslation) {
    size_t untranslated = 0;
    for (const auto& [id, en] : english_) {
        const std::wstring ru = russian_.count(id) ? russian_.at(id) : L"";  // a missing one fails the id test
        const std::string what = "string " + std::to_string(id) + ": \"" + Narrow(en) + "\" / \"" + Narrow(ru) + "\"";
        EXPECT_EQ(FormatSpecifiers(ru), FormatSpecifiers(en)) << what;
        EXPECT_NE(FormatSpecifiers(en), "stray %") << what;
        EXPECT_EQ(std::count(ru.begin(), ru.end(), L'\n'), std::count(en.begin(), en.end(), L'\n')) << what;
        EXPECT_EQ(std::count(ru.begin(), ru.end(), L'\t'), std::count(en.begin(), en.end(), L'\t')) << what;
        for (const std::wstring* text : {&en, &ru}) {
            EXPECT_LE(Accelerators(*text).first, 1u) << what;
            EXPECT_FALSE(Accelerators(*text).second) << what << ": an accelerator marker at the end";
        }
        EXPECT_TRUE(std::all_of(en.begin(), en.end(), [](wchar_t c) { return c < 0x80; })) << what;
        EXPECT_TRUE(FitsCodePage(ru, 1251)) << what << " does not fit code page 1251";
        untranslated += ru == en;
    }
    // Product names, addresses and protocol names stay as they are; the rest is Russian.
    EXPECT_LE(untranslated, english_.size() / 10) << untranslated << " Russian strings are the same as the English ones";
}

TEST_F(StringTablesTest, TextsTheCodeTakesApartKeepTheirShape) {
    for (const StringTable* table : {&english_, &russian_}) {
        const char* language = table == &english_ ? "English" : "Russian";
        const std::wstring product = table->count(IDS_PRODUCT_NAME) ? table->at(IDS_PRODUCT_NAME) : L"";
        const std::wstring version = table->count(IDS_VERSION_TEXT) ? table->at(IDS_VERSION_TEXT) : L"";
        const std::wstring incorrectUrl =
            table->count(IDS_INCORRECT_URL_FMT) ? table->at(IDS_INCORRECT_URL_FMT) : L"";

        // The product name is not translated.
        EXPECT_EQ(Narrow(product), "Tolvane Download Manager") << language;
        // The about box shows what follows the first "."; it must follow the product name.
        size_t dot = version.find(L'.');
        ASSERT_NE(dot, std::wstring::npos) << language << " version text has no '.'";
        EXPECT_EQ(Narrow(version.substr(0, dot)), Narrow(product)) << language;
        EXPECT_NE(version.find_first_not_of(L' ', dot + 1), std::wstring::npos) << language;
        // For an empty URL only the second line of the incorrect-URL message is
        // shown: the URL's "%s", its one conversion, is on the first line.
        EXPECT_EQ(FormatSpecifiers(incorrectUrl), "%s") << language;
        EXPECT_LT(incorrectUrl.find(L"%s"), incorrectUrl.find(L'\n')) << language;
    }
}

}  // namespace
