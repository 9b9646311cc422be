// The registry-script registrar: kept, replaced and ordinary keys, values,
// replacements and malformed scripts. Scripts write under HKCU, which each test
// maps to a sandbox.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
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

// A value as text: its string, "dword <n>", or what is missing.
std::wstring ReadValue(const wchar_t* path, const wchar_t* name)
{
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return L"<no key>";
    wchar_t buffer[512] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return L"<no value>";
    DWORD number = 0;
    std::memcpy(&number, buffer, sizeof(number));
    return type == REG_DWORD ? L"dword " + std::to_wstring(number) : std::wstring(buffer);
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

// One script through its life: registered over content that was there before,
// unregistered while others keep content under its keys, and unregistered again
// after the others took theirs away.
TEST(RegistrarTest, RegisteringAndUnregistering)
{
    test::RegistrySandbox sandbox;
    WriteText(L"Kept\\Replaced\\Stale", nullptr, L"old");
    WriteText(L"Kept\\Plain\\Child", L"Foreign", L"kept");
    WriteText(L"Kept\\Plain\\Foreign", nullptr, L"kept");
    ASSERT_EQ(S_OK, RunRegistryScript(kScript, true, kModule));
    EXPECT_EQ(L"on", ReadValue(L"Kept", L"Setting"));
    EXPECT_EQ(L"default text", ReadValue(L"Kept\\Plain", nullptr));
    EXPECT_EQ(L"dword 34", ReadValue(L"Kept\\Plain", L"Count"));
    EXPECT_EQ(L"C:\\x\\tdm.dll,1", ReadValue(L"Kept\\Plain\\Child", nullptr));
    EXPECT_EQ(L"it's 100% sure", ReadValue(L"Kept\\Replaced", L"Quote"));
    EXPECT_FALSE(KeyExists(L"Kept\\Replaced\\Stale")) << "a replaced key loses its old content";
    EXPECT_EQ(L"kept", ReadValue(L"Kept\\Plain\\Child", L"Foreign")) << "an ordinary key is not emptied";

    WriteText(L"Kept\\Replaced\\Added", nullptr, L"by someone");
    ASSERT_EQ(S_OK, RunRegistryScript(kScript, false, kModule));
    EXPECT_EQ(L"<no value>", ReadValue(L"Kept", L"Setting")) << "a value written into a kept key goes";
    EXPECT_FALSE(KeyExists(L"Kept\\Replaced")) << "a replaced key goes with its whole subtree";
    EXPECT_EQ(L"<no value>", ReadValue(L"Kept\\Plain", nullptr)) << "the values the script wrote go";
    EXPECT_EQ(L"<no value>", ReadValue(L"Kept\\Plain\\Child", nullptr));
    EXPECT_EQ(L"kept", ReadValue(L"Kept\\Plain\\Child", L"Foreign")) << "a key with others' values stays";
    EXPECT_TRUE(KeyExists(L"Kept\\Plain\\Foreign")) << "a key with others' keys stays";

    // Values and keys that are gone already are passed over.
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Kept\\Plain\\Foreign"));
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Kept\\Plain\\Child", L"Foreign"));
    for (int pass = 0; pass < 2; ++pass)
    {
        EXPECT_EQ(S_OK, RunRegistryScript(kScript, false, kModule)) << pass;
        EXPECT_FALSE(KeyExists(L"Kept\\Plain")) << "ordinary keys left empty go";
        EXPECT_TRUE(KeyExists(L"Kept")) << "a kept key stays, even empty";
    }
}

// A script that does not parse writes nothing at all.
TEST(RegistrarTest, MalformedScriptsChangeNothing)
{
    std::wstring deep = L"HKCU {";  // nested deeper than the parser goes
    for (int i = 0; i < 200; ++i)
        deep += L" A {";
    deep += std::wstring(201, L'}');
    const std::wstring scripts[] = {
        L"HKCU { A = s 'x' { B = s 'y' }",       // unterminated block
        L"HKCU { A = s 'unterminated }",          // unterminated text
        L"HKXX { A }",                            // unknown root
        L"HKCU { A = q 'x' }",                    // unknown value type
        L"HKCU { A = d 'twelve' }",               // not a number
        L"HKCU { A = s '%UNKNOWN%' }",            // unknown replacement
        L"HKCU { val Loose = s 'x' }",            // a value without a key
        L"HKCU { Good = s 'x' } HKCU { Bad = }",  // the second part is broken
        deep,
    };
    for (const std::wstring& script : scripts)
    {
        test::RegistrySandbox sandbox;
        EXPECT_EQ(E_INVALIDARG, RunRegistryScript(script, true, kModule)) << testing::PrintToString(script);
        EXPECT_FALSE(KeyExists(L"A"));
        EXPECT_FALSE(KeyExists(L"Good"));
    }
}
