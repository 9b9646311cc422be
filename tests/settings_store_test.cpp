// The settings store: defaults, value kinds and their edge cases. Every test
// runs in its own HKEY_CURRENT_USER sandbox.
#include <windows.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "framework/automation.h"

#include "framework/unique_any.h"
#include "store/settings_store.h"
#include "support/registry_sandbox.h"

using namespace tdm;

namespace {

using Stored = std::pair<DWORD, std::string>;  // the type and bytes of a value

Stored ReadStored(const char* name)
{
    char data[256];
    DWORD type = REG_NONE, size = sizeof(data);
    if (::RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS)
        return {REG_NONE, "missing"};
    return {type, std::string(data, size)};
}

void Store(const char* name, const Stored& value)
{
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsKey, name, value.first, value.second.data(),
                                               static_cast<DWORD>(value.second.size())));
}

Stored Dword(DWORD value) { return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof(value))}; }

const struct FlagSetting { const char* name; bool defaultValue; bool (*get)(); void (*set)(bool); } kFlags[] = {
#define FLAG(Name, Default) {#Name, Default, &Get##Name, &Set##Name}
    FLAG(SaveFileDefault, true), FLAG(IsIconic, false), FLAG(MSIEIntegrate, true), FLAG(NotOpenBand, false),
    FLAG(Start, true), FLAG(ConfirmCreation, false), FLAG(Delete, false), FLAG(ConfirmFileOpen, false),
    FLAG(Notifications, true), FLAG(InformWhenCompleted, false), FLAG(PlaySounds, true), FLAG(ShowToolbar, true),
    FLAG(ShowToolbarLabels, false),
#undef FLAG
};

// What the getter of setting `name` answers, as text.
std::string Reading(const std::string& name)
{
    if (name == "Browse")
        return Utf8FromWide(GetBrowse());
    if (name == "LanguageID")
        return std::to_string(GetLanguageID());
    if (name == "RestoredHeight")
        return std::to_string(GetRestoredHeight());
    if (name == "BypassKey")
        return std::to_string(GetBypassKey());
    if (name == "CaptureNeverSites")
    {
        const std::wstring text = GetCaptureNeverSites();
        return std::string(text.begin(), text.end());  // the cases are ASCII
    }
    for (const FlagSetting& flag : kFlags)
        if (name == flag.name)
            return flag.get() ? "true" : "false";
    return "no getter";
}

}  // namespace

// Each flag alone in the store, so that a getter reading another flag's name fails.
TEST(SettingsStoreTest, FlagsHaveTheirDefaultsAndRoundTripAsDwordZeroOrOneUnderTheirOwnNames)
{
    test::RegistrySandbox sandbox;
    for (const FlagSetting& flag : kFlags)
    {
        EXPECT_EQ(flag.defaultValue, flag.get()) << flag.name;
        flag.set(!flag.defaultValue);
        EXPECT_EQ(!flag.defaultValue, flag.get()) << flag.name;
        EXPECT_EQ(Dword(flag.defaultValue ? 0 : 1), ReadStored(flag.name)) << flag.name;
        ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey));
    }
    EXPECT_EQ(200, GetRestoredHeight());
    EXPECT_EQ(4, GetIconicTopOffset());
    EXPECT_EQ(1033, GetLanguageID());
    EXPECT_EQ(L"", GetBrowse());
    EXPECT_FALSE(GetDownloadFolder().empty()) << "with no folder stored, new downloads are offered none";
    EXPECT_EQ(DefaultCaptureTypes(), GetCaptureTypes());
    EXPECT_EQ(L"", GetCaptureNeverSites());
    EXPECT_EQ(static_cast<UINT>(VK_MENU), GetBypassKey());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey)) << "reading created the key";
}

TEST(SettingsStoreTest, StoredValuesAreReadByKind)
{
    const struct
    {
        const char* name;
        Stored stored;
        const char* expected;
    } cases[] = {
        {"Start", {REG_SZ, std::string("0", 2)}, "true"},  // a text "0" is not a flag
        {"Start", {REG_BINARY, std::string(4, '\0')}, "true"},  // nor four bytes of another type
        {"RestoredHeight", {REG_BINARY, std::string(8, '\0')}, "200"},
        {"RestoredHeight", {REG_DWORD, std::string(2, '\0')}, "200"},  // a DWORD too short
        {"Delete", Dword(0x80000000), "true"},  // any non-zero DWORD is true
        {"LanguageID", Dword(0xABCD0409), "1033"},  // written by somebody else: the low 16 bits
        {"Browse", {REG_BINARY, "D:\\x"}, "D:\\x"},  // up to the end of the data without a NUL
        {"Browse", {REG_SZ, std::string("E:\\a\0junk", 10)}, "E:\\a"},  // or up to the first NUL
        {"Browse", {REG_SZ, ""}, ""},
        // UTF-16 texts within their data, up to a NUL; another type is 8-bit
        // text, as the folder is read.
        {"CaptureNeverSites", {REG_BINARY, std::string("x\0y\0", 4)}, "x"},
        {"CaptureNeverSites", {REG_SZ, std::string("a\0b", 3)}, "a"},
        {"CaptureNeverSites", {REG_SZ, std::string("a\0\0\0b\0", 6)}, "a"},
        {"BypassKey", Dword(VK_CONTROL), "17"},
        {"BypassKey", Dword(0), "0"},  // no key
        {"BypassKey", Dword('A'), "18"},  // a key the page does not offer: Alt
    };
    for (const auto& c : cases)
    {
        test::RegistrySandbox sandbox;
        Store(c.name, c.stored);
        EXPECT_EQ(c.expected, Reading(c.name)) << c.name << " stored as " << testing::PrintToString(c.stored);
    }
}

TEST(SettingsStoreTest, WritersStoreTheWholeValue)
{
    test::RegistrySandbox sandbox;
    SetRestoredHeight(-5);
    EXPECT_EQ(-5, GetRestoredHeight());
    SetIconicTopOffset(0x7FFFFFFF);
    EXPECT_EQ(0x7FFFFFFF, GetIconicTopOffset());
    SetLanguageID(0x12340419);  // only its low sixteen bits are a language
    EXPECT_EQ(Dword(0x0419), ReadStored("LanguageID"));
    SetBrowse(L"C:\\Downloads\\");
    EXPECT_EQ(Stored(REG_SZ, std::string("C:\\Downloads\\", sizeof("C:\\Downloads\\"))), ReadStored("Browse"))
        << "a text with its terminating NUL";
    EXPECT_EQ(L"C:\\Downloads\\", GetBrowse());
    // A folder in scripts outside the ANSI code page stays whole, still REG_SZ.
    SetBrowse(L"C:\\Загрузки\\下载\\");
    EXPECT_EQ(REG_SZ, ReadStored("Browse").first);
    EXPECT_EQ(L"C:\\Загрузки\\下载\\", GetBrowse());
    // Patterns are UTF-16 whatever the ANSI code page.
    SetCaptureNeverSites(L"пример\\.рф$\r\n^intranet");
    EXPECT_EQ(L"пример\\.рф$\r\n^intranet", GetCaptureNeverSites());
    SetCaptureTypes(L"");
    EXPECT_EQ(L"", GetCaptureTypes()) << "an empty list is a list";
}

TEST(SettingsStoreTest, CompletionCopyTurnsNotificationsOffWithTheMasterSwitch)
{
    test::RegistrySandbox sandbox;
    SetInformWhenCompleted(true);
    SetPlaySounds(true);
    for (const bool notifications : {false, true})
    {
        SetNotifications(notifications);
        const CompletionSettings copy = CompletionSettings::Load();
        EXPECT_EQ(notifications, copy.informWhenCompleted);
        EXPECT_EQ(notifications, copy.playSounds);
        EXPECT_TRUE(GetInformWhenCompleted()) << "the stored values stay as they are";
    }
}

// Gives everyone exactly the access of `sddl` to the settings key.
void SetKeyAccess(const wchar_t* sddl)
{
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, WRITE_DAC, key.put()));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor));
    ::LocalFree(descriptor);
}

// A browser in protected mode may read the user's settings key but not write it.
TEST(SettingsStoreTest, AKeyThatCannotBeWrittenStillReadsItsValues)
{
    test::RegistrySandbox sandbox;
    Store("Start", Dword(0));
    Store("LanguageID", Dword(1049));
    SetKeyAccess(L"D:P(A;;KR;;;WD)");
    unique_hkey writable;
    ASSERT_EQ(ERROR_ACCESS_DENIED,
              ::RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ | KEY_WRITE, writable.put()))
        << "the key must refuse writing for the test to mean anything";
    EXPECT_FALSE(GetStart());
    EXPECT_EQ(1049, GetLanguageID());
    SetKeyAccess(L"D:P(A;;KA;;;WD)");  // so that the sandbox can be removed
}
