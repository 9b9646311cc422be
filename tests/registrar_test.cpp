// The registry-script registrar: kept, replaced and ordinary keys, values,
// replacements and malformed scripts. Scripts write under HKCU, which each test
// maps to a sandbox.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "framework/registrar.h"
#include "framework/unique_any.h"
#include "support/registry_sandbox.h"

using namespace tdm;

namespace {

bool KeyExists(const wchar_t* path)
{
    unique_hkey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring ReadText(const wchar_t* path, const wchar_t* name)
{
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return L"<no key>";
    wchar_t buffer[512] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return L"<no value>";
    return type == REG_SZ ? std::wstring(buffer) : L"<not text>";
}

void WriteText(const wchar_t* path, const wchar_t* name, const wchar_t* text)
{
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                               key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                              static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))));
}

const wchar_t kScript[] = LR"(
HKCU
{
    NoRemove Kept
    {
        val Setting = s 'on'
        Plain = s 'default text'
        {
            Child = s '%MODULE%,1'
            val Count = d '0x22'
        }
        ForceRemove Replaced
        {
            val Quote = s 'it''s 100%% sure'
        }
    }
}
)";

const RegistrarReplacements kModule = {{L"MODULE", L"C:\\x\\tdm.dll"}};

}  // namespace

TEST(RegistrarTest, RegisteringWritesKeysAndValues)
{
    test::RegistrySandbox sandbox;
    ASSERT_EQ(S_OK, RunRegistryScript(kScript, true, kModule));
    EXPECT_EQ(L"on", ReadText(L"Kept", L"Setting"));
    EXPECT_EQ(L"default text", ReadText(L"Kept\\Plain", nullptr));
    EXPECT_EQ(L"C:\\x\\tdm.dll,1", ReadText(L"Kept\\Plain\\Child", nullptr));
    EXPECT_EQ(L"it's 100% sure", ReadText(L"Kept\\Replaced", L"Quote"));
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Kept\\Plain", 0, KEY_READ, key.put()));
    DWORD count = 0, size = sizeof(count), type = 0;
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(key.get(), L"Count", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(0x22u, count);
}

TEST(RegistrarTest, ReplacedKeyLosesItsOldContentWhenRegistered)
{
    test::RegistrySandbox sandbox;
    WriteText(L"Kept\\Replaced\\Stale", nullptr, L"old");
    WriteText(L"Kept\\Plain", L"Foreign", L"kept");
    ASSERT_EQ(S_OK, RunRegistryScript(kScript, true, kModule));
    EXPECT_FALSE(KeyExists(L"Kept\\Replaced\\Stale"));
    EXPECT_EQ(L"kept", ReadText(L"Kept\\Plain", L"Foreign")) << "an ordinary key is not emptied";
}

TEST(RegistrarTest, UnregisteringRemovesWhatTheScriptOwns)
{
    test::RegistrySandbox sandbox;
    ASSERT_EQ(S_OK, RunRegistryScript(kScript, true, kModule));
    WriteText(L"Kept\\Replaced\\Added", nullptr, L"by someone");
    WriteText(L"Kept", L"Other", L"by someone");
    ASSERT_EQ(S_OK, RunRegistryScript(kScript, false, kModule));
    EXPECT_TRUE(KeyExists(L"Kept")) << "a kept key stays";
    EXPECT_EQ(L"<no value>", ReadText(L"Kept", L"Setting")) << "a value written into a kept key goes";
    EXPECT_EQ(L"by someone", ReadText(L"Kept", L"Other"));
    EXPECT_FALSE(KeyExists(L"Kept\\Plain")) << "an ordinary key left empty goes";
    EXPECT_FALSE(KeyExists(L"Kept\\Replaced")) << "a replaced key goes with its whole subtree";
}

TEST(RegistrarTest, OrdinaryKeyWithForeignContentSurvivesUnregistration)
{
    test::RegistrySandbox sandbox;
    ASSERT_EQ(S_OK, RunRegistryScript(kScript, true, kModule));
    WriteText(L"Kept\\Plain\\Foreign", nullptr, L"x");
    ASSERT_EQ(S_OK, RunRegistryScript(kScript, false, kModule));
    EXPECT_TRUE(KeyExists(L"Kept\\Plain\\Foreign"));
    EXPECT_EQ(L"<no value>", ReadText(L"Kept\\Plain", nullptr)) << "its default value, written by the script, goes";
    EXPECT_FALSE(KeyExists(L"Kept\\Plain\\Child"));
}

TEST(RegistrarTest, UnregisteringWhatIsNotThereSucceeds)
{
    test::RegistrySandbox sandbox;
    EXPECT_EQ(S_OK, RunRegistryScript(kScript, false, kModule));
    EXPECT_FALSE(KeyExists(L"Kept\\Plain"));
}

TEST(RegistrarTest, MalformedScriptsChangeNothing)
{
    const wchar_t* const scripts[] = {
        L"HKCU { A = s 'x' { B = s 'y' }",       // unterminated block
        L"HKCU { A = s 'unterminated }",          // unterminated text
        L"HKXX { A }",                            // unknown root
        L"HKCU { A = q 'x' }",                    // unknown value type
        L"HKCU { A = d 'twelve' }",               // not a number
        L"HKCU { A = s '%UNKNOWN%' }",            // unknown replacement
        L"HKCU { val Loose = s 'x' }",            // a value without a key
        L"HKCU { Good = s 'x' } HKCU { Bad = }",  // the second part is broken: nothing at all is written
    };
    for (const wchar_t* script : scripts)
    {
        test::RegistrySandbox sandbox;
        EXPECT_EQ(E_INVALIDARG, RunRegistryScript(script, true, kModule)) << testing::PrintToString(std::wstring(script));
        EXPECT_FALSE(KeyExists(L"A"));
        EXPECT_FALSE(KeyExists(L"Good"));
    }
}

TEST(RegistrarTest, DeeplyNestedScriptIsRefused)
{
    test::RegistrySandbox sandbox;
    std::wstring script = L"HKCU {";
    for (int i = 0; i < 200; ++i)
        script += L" K {";
    for (int i = 0; i < 201; ++i)
        script += L" }";
    EXPECT_EQ(E_INVALIDARG, RunRegistryScript(script, true, kModule));
    EXPECT_FALSE(KeyExists(L"K"));
}
