// Checks the English and Russian string tables of the built module.
//
// The module is loaded as a data file from the path in TDM_DLL_PATH; the
// tables are read block by block, exactly as the module's own string loader
// finds them (block id / 16 + 1, entry id % 16), so what is checked here is
// what the running client will see.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <map>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);  // 1033
const LANGID kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);     // 1049

// RT_STRING is narrow or wide depending on UNICODE; the wide calls need it wide.
const LPCWSTR kStringType = reinterpret_cast<LPCWSTR>(RT_STRING);

const unsigned kProductName = 119;
const unsigned kIncorrectUrl = 177;
const unsigned kVersionText = 523;

// Ids the code relies on, spread over several blocks, low and high.
const unsigned kKeyIds[] = {2, 9, 101, kProductName, 141, kIncorrectUrl, 183, 184, kVersionText, 32796};

// The number of strings the client defines; a table with fewer lost some.
const size_t kMinimumStringCount = 165;

using StringTable = std::map<unsigned, std::wstring>;

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
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
        size_t words = SizeofResource(module, found) / sizeof(WCHAR);
        EXPECT_NE(data, nullptr) << "block " << block << " cannot be locked";
        if (data == nullptr) continue;

        size_t pos = 0;
        for (unsigned entry = 0; entry < 16; ++entry) {
            if (pos >= words || pos + 1 + data[pos] > words) {
                ADD_FAILURE() << "block " << block << " (language " << lang << ") is cut short at entry "
                              << entry;
                break;
            }
            size_t length = data[pos++];
            if (length != 0) table[(block - 1) * 16 + entry] = std::wstring(data + pos, length);
            pos += length;
        }
    }
    return table;
}

// The conversions of a printf format, in order ("%s", "%.2d",
// "%0lX", "%%" ...). A '%' that starts no valid conversion is reported
// through `error`.
std::vector<std::wstring> FormatSpecifiers(const std::wstring& text, std::string* error) {
    static const wchar_t kFlags[] = L"-+ #0";
    static const wchar_t kConversions[] = L"diouxXeEfgGaAcCsSpn";
    static const wchar_t* const kLengths[] = {L"hh", L"ll", L"I64", L"I32", L"h", L"l",
                                              L"L", L"I", L"w", L"z", L"j", L"t"};
    std::vector<std::wstring> specs;
    error->clear();
    size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != L'%') continue;
        size_t start = i++;
        if (i < n && text[i] == L'%') {
            specs.push_back(L"%%");
            continue;
        }
        while (i < n && text[i] != 0 && wcschr(kFlags, text[i]) != nullptr) ++i;
        if (i < n && text[i] == L'*') {
            ++i;
        } else {
            while (i < n && iswdigit(text[i])) ++i;
        }
        if (i < n && text[i] == L'.') {
            ++i;
            if (i < n && text[i] == L'*') {
                ++i;
            } else {
                while (i < n && iswdigit(text[i])) ++i;
            }
        }
        for (const wchar_t* length : kLengths) {
            size_t len = wcslen(length);
            if (text.compare(i, len, length) == 0) {
                i += len;
                break;
            }
        }
        if (i >= n || text[i] == 0 || wcschr(kConversions, text[i]) == nullptr) {
            *error = "'%' at offset " + std::to_string(start) + " starts no conversion";
            return specs;
        }
        specs.push_back(text.substr(start, i - start + 1));
    }
    return specs;
}

std::string Describe(const std::vector<std::wstring>& specs) {
    std::string result = "{";
    for (size_t i = 0; i < specs.size(); ++i) result += (i ? " " : "") + Narrow(specs[i]);
    return result + "}";
}

size_t Count(const std::wstring& text, wchar_t c) {
    size_t count = 0;
    for (wchar_t x : text) count += (x == c);
    return count;
}

// Accelerator markers: '&' not followed by another '&' ("&&" is a literal).
// Sets `dangling` when a marker is the last character.
size_t Accelerators(const std::wstring& text, bool* dangling) {
    size_t count = 0;
    *dangling = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'&') continue;
        if (i + 1 < text.size() && text[i + 1] == L'&') {
            ++i;
            continue;
        }
        ++count;
        if (i + 1 == text.size()) *dangling = true;
    }
    return count;
}

// The client converts every text to the ANSI code page of its language.
bool FitsCodePage(const std::wstring& text, UINT codePage) {
    if (text.empty()) return true;
    BOOL usedDefault = FALSE;
    int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(),
                                   static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   &usedDefault);
    return size > 0 && !usedDefault;
}

BOOL CALLBACK CollectBlock(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    if (IS_INTRESOURCE(name))
        reinterpret_cast<std::vector<unsigned>*>(param)->push_back(
            static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
    return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR param) {
    reinterpret_cast<std::set<LANGID>*>(param)->insert(lang);
    return TRUE;
}

class StringTablesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryExW(tdm::test::TdmDllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (module_ == nullptr) return;
        english_ = ReadTable(module_, kEnglish);
        russian_ = ReadTable(module_, kRussian);
    }

    static void TearDownTestSuite() {
        if (module_ != nullptr) FreeLibrary(module_);
        module_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(module_, nullptr) << "cannot load TDM_DLL_PATH \"" << Narrow(tdm::test::TdmDllPath())
                                    << "\" as a data file";
    }

    static HMODULE module_;
    static StringTable english_;
    static StringTable russian_;
};

HMODULE StringTablesTest::module_ = nullptr;
StringTable StringTablesTest::english_;
StringTable StringTablesTest::russian_;

// The checker of the translations' formats must itself see conversions.
TEST(StringFormatParsing, RecognisesPrintfSpecificationsAndStrayPercents) {
    std::string error;
    EXPECT_EQ(Describe(FormatSpecifiers(L"0x%0lX [%-10s] %I64u %*d %.2d%%", &error)),
              "{%0lX %-10s %I64u %*d %.2d %%}");
    EXPECT_EQ(error, "");
    FormatSpecifiers(L"50%", &error);
    EXPECT_NE(error, "");
}

// Strings come in English and Russian only, with the same ids. A neutral copy
// would be picked up by lookups for languages without a table (which must come
// out empty), and would pin the neutral lookups to one language.
TEST_F(StringTablesTest, EnglishAndRussianAloneDefineTheSameIds) {
    EXPECT_GE(english_.size(), kMinimumStringCount);
    EXPECT_GE(russian_.size(), kMinimumStringCount);
    for (unsigned id : kKeyIds)
        EXPECT_EQ(english_.count(id), 1u) << "English lacks string " << id;
    for (const auto& [table, other, missing] :
         {std::make_tuple(&english_, &russian_, "Russian"), std::make_tuple(&russian_, &english_, "English")})
        for (const auto& entry : *table)
            EXPECT_EQ(other->count(entry.first), 1u)
                << "string " << entry.first << " \"" << Narrow(entry.second) << "\" has no " << missing << " text";

    std::vector<unsigned> blocks;
    ASSERT_TRUE(EnumResourceNamesW(module_, kStringType, CollectBlock, reinterpret_cast<LONG_PTR>(&blocks)));
    ASSERT_FALSE(blocks.empty());
    for (unsigned block : blocks) {
        std::set<LANGID> langs;
        EnumResourceLanguagesW(module_, kStringType, MAKEINTRESOURCEW(block), CollectLanguage,
                               reinterpret_cast<LONG_PTR>(&langs));
        EXPECT_EQ(langs, (std::set<LANGID>{kEnglish, kRussian})) << "languages of string block " << block;
    }
}

TEST_F(StringTablesTest, TranslationsKeepFormatSpecifiersLineBreaksAndTabs) {
    for (const auto& entry : english_) {
        auto russian = russian_.find(entry.first);
        if (russian == russian_.end()) continue;  // reported by the id-set test
        const std::wstring& en = entry.second;
        const std::wstring& ru = russian->second;
        std::string enError, ruError;
        std::vector<std::wstring> enSpecs = FormatSpecifiers(en, &enError);
        std::vector<std::wstring> ruSpecs = FormatSpecifiers(ru, &ruError);
        EXPECT_EQ(enError, "") << "English string " << entry.first << ": \"" << Narrow(en) << "\"";
        EXPECT_EQ(ruError, "") << "Russian string " << entry.first << ": \"" << Narrow(ru) << "\"";
        EXPECT_EQ(Describe(enSpecs), Describe(ruSpecs))
            << "format specifiers of string " << entry.first << ": \"" << Narrow(en)
            << "\" / \"" << Narrow(ru) << "\"";
        EXPECT_EQ(Count(en, L'\n'), Count(ru, L'\n'))
            << "line breaks of string " << entry.first << ": \"" << Narrow(ru) << "\"";
        EXPECT_EQ(Count(en, L'\t'), Count(ru, L'\t'))
            << "tabs of string " << entry.first << ": \"" << Narrow(ru) << "\"";
    }
}

// At most one well-formed accelerator per text, and every text survives the
// conversion to its ANSI code page (any one for English); the Russian texts are
// translated.
TEST_F(StringTablesTest, AcceleratorsCodePagesAndTranslation) {
    size_t untranslated = 0;
    for (const StringTable* table : {&english_, &russian_}) {
        const bool english = table == &english_;
        for (const auto& entry : *table) {
            const std::string what = std::string(english ? "English" : "Russian") + " string " +
                                     std::to_string(entry.first) + ": \"" + Narrow(entry.second) + "\"";
            bool dangling = false;
            EXPECT_LE(Accelerators(entry.second, &dangling), 1u) << what;
            EXPECT_FALSE(dangling) << what << " ends with an accelerator marker";
            const bool ascii =
                std::all_of(entry.second.begin(), entry.second.end(), [](wchar_t c) { return c < 0x80; });
            EXPECT_TRUE(english ? ascii : FitsCodePage(entry.second, 1251)) << what << " does not fit its code page";
            if (english && russian_.count(entry.first) && russian_.at(entry.first) == entry.second) ++untranslated;
        }
    }
    // Product names, addresses and protocol names stay as they are; the rest is Russian.
    EXPECT_LE(untranslated, english_.size() / 10)
        << untranslated << " Russian strings are the same as the English ones";
}

TEST_F(StringTablesTest, TextsTheCodeTakesApartKeepTheirShape) {
    for (const StringTable* table : {&english_, &russian_}) {
        const char* language = table == &english_ ? "English" : "Russian";
        const std::wstring product = table->count(kProductName) ? table->at(kProductName) : L"";
        const std::wstring version = table->count(kVersionText) ? table->at(kVersionText) : L"";
        const std::wstring incorrectUrl = table->count(kIncorrectUrl) ? table->at(kIncorrectUrl) : L"";

        // The product name is not translated.
        EXPECT_EQ(Narrow(product), "Tolvane Download Manager") << language;
        // The about box shows what follows the first "."; it must follow the product name.
        size_t dot = version.find(L'.');
        ASSERT_NE(dot, std::wstring::npos) << language << " version text has no '.'";
        EXPECT_EQ(Narrow(version.substr(0, dot)), Narrow(product)) << language;
        EXPECT_NE(version.find_first_not_of(L' ', dot + 1), std::wstring::npos) << language;
        // For an empty URL only the second line of the incorrect-URL message is
        // shown: the URL's "%s" is the first conversion, on the first line.
        EXPECT_EQ(incorrectUrl.find(L"%s"), incorrectUrl.find(L'%')) << language;
        EXPECT_LT(incorrectUrl.find(L"%s"), incorrectUrl.find(L'\n')) << language;
    }
}

}  // namespace
