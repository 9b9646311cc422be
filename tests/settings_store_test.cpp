// The settings store: defaults, value kinds and their edge cases. Every test
// runs in its own HKEY_CURRENT_USER sandbox.
#include <windows.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/unique_any.h"
#include "settings/settings_store.h"
#include "support/registry_sandbox.h"

using namespace tdm;

namespace {

bool SettingsKeyExists(HKEY root)
{
    unique_hkey key;
    return ::RegOpenKeyExA(root, kSettingsKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void StoreRaw(HKEY root, const char* name, DWORD type, const void* data, DWORD size)
{
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(root, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                               nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

void StoreDword(HKEY root, const char* name, DWORD value) { StoreRaw(root, name, REG_DWORD, &value, sizeof(value)); }

bool ReadRawDword(HKEY root, const char* name, DWORD& value)
{
    unique_hkey key;
    if (::RegOpenKeyExA(root, kSettingsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = sizeof(value);
    return ::RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

struct FlagSetting
{
    const char* name;
    bool defaultValue;
    bool (*get)();
    void (*set)(bool);
};

const FlagSetting kFlags[] = {
    {"SaveFileDefault", true, &GetSaveFileDefault, &SetSaveFileDefault},
    {"IsIconic", false, &GetIsIconic, &SetIsIconic},
    {"MSIEIntegrate", true, &GetMSIEIntegrate, &SetMSIEIntegrate},
    {"NotOpenBand", false, &GetNotOpenBand, &SetNotOpenBand},
    {"Start", true, &GetStart, &SetStart},
    {"ConfirmCreation", false, &GetConfirmCreation, &SetConfirmCreation},
    {"Delete", false, &GetDelete, &SetDelete},
    {"ConfirmFileOpen", false, &GetConfirmFileOpen, &SetConfirmFileOpen},
    {"Notifications", true, &GetNotifications, &SetNotifications},
    {"InformWhenCompleted", false, &GetInformWhenCompleted, &SetInformWhenCompleted},
    {"PlaySounds", true, &GetPlaySounds, &SetPlaySounds},
    {"ShowToolbar", true, &GetShowToolbar, &SetShowToolbar},
    {"ShowToolbarLabels", false, &GetShowToolbarLabels, &SetShowToolbarLabels},
};

}  // namespace

TEST(SettingsStoreTest, FreshProfileGivesDefaultsAndCreatesNothing)
{
    test::RegistrySandbox sandbox;
    for (const FlagSetting& flag : kFlags)
        EXPECT_EQ(flag.defaultValue, flag.get()) << flag.name;
    EXPECT_EQ(200, GetRestoredHeight());
    EXPECT_EQ(4, GetIconicTopOffset());
    EXPECT_EQ(1033, GetLanguageID());
    EXPECT_EQ("", GetBrowse());
    EXPECT_FALSE(SettingsKeyExists(sandbox.Root())) << "reading created the settings key";
}

TEST(SettingsStoreTest, FlagsRoundTripAsDwordZeroOrOneUnderTheirOwnNames)
{
    test::RegistrySandbox sandbox;
    for (const FlagSetting& flag : kFlags)
    {
        flag.set(!flag.defaultValue);
        EXPECT_EQ(!flag.defaultValue, flag.get()) << flag.name;
        DWORD stored = 99;
        ASSERT_TRUE(ReadRawDword(sandbox.Root(), flag.name, stored)) << flag.name;
        EXPECT_EQ(flag.defaultValue ? 0u : 1u, stored) << flag.name;
    }
    // Each value lives under its own name: flipping all of them back one by one
    // must not disturb the others.
    for (const FlagSetting& flag : kFlags)
    {
        flag.set(flag.defaultValue);
        for (const FlagSetting& other : kFlags)
        {
            if (&other > &flag)
            {
                EXPECT_EQ(!other.defaultValue, other.get()) << other.name << " changed with " << flag.name;
            }
        }
    }
}

TEST(SettingsStoreTest, ValuesOfTheWrongTypeOrSizeGiveTheDefault)
{
    test::RegistrySandbox sandbox;
    StoreRaw(sandbox.Root(), "Start", REG_SZ, "0", 2);  // a text "0" is not a flag
    EXPECT_TRUE(GetStart());
    const BYTE longer[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    StoreRaw(sandbox.Root(), "RestoredHeight", REG_BINARY, longer, sizeof(longer));
    EXPECT_EQ(200, GetRestoredHeight());
    StoreRaw(sandbox.Root(), "IconicTopOffset", REG_DWORD, longer, 2);  // a DWORD too short
    EXPECT_EQ(4, GetIconicTopOffset());
}

TEST(SettingsStoreTest, AnyNonZeroDwordIsTrue)
{
    test::RegistrySandbox sandbox;
    StoreDword(sandbox.Root(), "Delete", 0xFFFFFFFF);
    EXPECT_TRUE(GetDelete());
    StoreDword(sandbox.Root(), "Delete", 0x80000000);
    EXPECT_TRUE(GetDelete());
    StoreDword(sandbox.Root(), "Start", 0);
    EXPECT_FALSE(GetStart());
}

TEST(SettingsStoreTest, NumbersKeepAllThirtyTwoBits)
{
    test::RegistrySandbox sandbox;
    SetRestoredHeight(-5);
    EXPECT_EQ(-5, GetRestoredHeight());
    SetIconicTopOffset(0x7FFFFFFF);
    EXPECT_EQ(0x7FFFFFFF, GetIconicTopOffset());
}

TEST(SettingsStoreTest, LanguageKeepsOnlyTheLowSixteenBits)
{
    test::RegistrySandbox sandbox;
    SetLanguageID(0x12340419);
    DWORD stored = 0;
    ASSERT_TRUE(ReadRawDword(sandbox.Root(), "LanguageID", stored));
    EXPECT_EQ(0x0419u, stored);
    EXPECT_EQ(0x0419, GetLanguageID());
    StoreDword(sandbox.Root(), "LanguageID", 0xABCD0409);  // written by somebody else
    EXPECT_EQ(0x0409, GetLanguageID());
}

TEST(SettingsStoreTest, BrowseTextIsReadUpToItsDataOrItsFirstNul)
{
    test::RegistrySandbox sandbox;
    SetBrowse("C:\\Downloads\\");
    EXPECT_EQ("C:\\Downloads\\", GetBrowse());
    // Stored with its terminating NUL counted in the data size.
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(sandbox.Root(), kSettingsKey, 0, KEY_READ, key.put()));
    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExA(key.get(), "Browse", nullptr, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(sizeof("C:\\Downloads\\"), size);

    StoreRaw(sandbox.Root(), "Browse", REG_BINARY, "D:\\x", 4);  // no terminating NUL
    EXPECT_EQ("D:\\x", GetBrowse());
    StoreRaw(sandbox.Root(), "Browse", REG_SZ, "E:\\a\0junk", 10);
    EXPECT_EQ("E:\\a", GetBrowse());
    StoreRaw(sandbox.Root(), "Browse", REG_SZ, "", 0);
    EXPECT_EQ("", GetBrowse());
}

TEST(SettingsStoreTest, CompletionCopyTurnsNotificationsOffWithTheMasterSwitch)
{
    test::RegistrySandbox sandbox;
    SetInformWhenCompleted(true);
    SetPlaySounds(true);
    SetNotifications(false);
    CompletionSettings copy = CompletionSettings::Load();
    EXPECT_FALSE(copy.informWhenCompleted);
    EXPECT_FALSE(copy.playSounds);
    EXPECT_TRUE(GetInformWhenCompleted()) << "the stored values stay as they are";
    SetNotifications(true);
    copy = CompletionSettings::Load();
    EXPECT_TRUE(copy.informWhenCompleted);
    EXPECT_TRUE(copy.playSounds);
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
    StoreDword(HKEY_CURRENT_USER, "Start", 0);
    StoreDword(HKEY_CURRENT_USER, "LanguageID", 1049);
    SetKeyAccess(L"D:P(A;;KR;;;WD)");
    unique_hkey writable;
    ASSERT_EQ(ERROR_ACCESS_DENIED,
              ::RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ | KEY_WRITE, writable.put()))
        << "the key must refuse writing for the test to mean anything";
    EXPECT_FALSE(GetStart());
    EXPECT_EQ(1049, GetLanguageID());
    SetKeyAccess(L"D:P(A;;KA;;;WD)");  // so that the sandbox can be removed
}
