// The settings store: defaults, value kinds and their edge cases.
#include <windows.h>
#include <gtest/gtest.h>

#include "settings/settings_store.h"
#include "support/registry_sandbox.h"

using namespace tdm;

TEST(SettingsStoreTest, SandboxIsolatesCurrentUser)
{
    test::RegistrySandbox sandbox;
    SetStart(false);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(sandbox.Root(), kSettingsKey, 0, KEY_READ, &key));
    RegCloseKey(key);
}
