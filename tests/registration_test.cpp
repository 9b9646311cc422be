// Registration of tdm.dll with regsvr32, checked against the registry entries the
// module must write and remove. Runs in a prefix where nothing else registered
// the module; every test starts and ends unregistered.
#include <windows.h>
#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "framework/module.h"
#include "framework/unique_any.h"
#include "module/class_table.h"
#include "store/settings_store.h"
#include "support/process.h"
#include "tdm_h.h"

using namespace tdm;
using namespace tdm::test;

namespace {

const std::wstring kHelper = L"{DA0A4960-3CEA-4999-9277-BB73AE8A9547}";
const std::wstring kBand = L"{EAB8C56D-C780-4F08-9F07-C300A639E72F}";
const std::wstring kDloadMr = L"{36D927AF-31DF-4EDC-B425-7FB6C7E01F5F}";
const std::wstring kToolbar = L"{3F1A54DB-DBC1-4AF4-9596-53B52730F98A}";
const std::wstring kLibId = L"{0F770BB4-BC93-4913-99F4-E143F05C6069}";
const std::wstring kCommBand = L"{00021494-0000-0000-C000-000000000046}";
const std::wstring kMenuExt = L"Software\\Microsoft\\Internet Explorer\\MenuExt\\";
const std::wstring kMenuEntry = kMenuExt + L"&Download by Tolvane Download Manager";
const std::wstring kPageMenuEntry = kMenuExt + L"Download all &links by Tolvane Download Manager";

// One registry value the registration writes, or only a key when `value` is null.
struct Entry
{
    HKEY root;
    std::wstring key;
    const wchar_t* value;  // L"": the default value
    std::wstring data;
};

std::vector<Entry> ExpectedEntries(const std::wstring& module)
{
    const HKEY cr = HKEY_CLASSES_ROOT, lm = HKEY_LOCAL_MACHINE;
    std::vector<Entry> entries;
    const struct { std::wstring name, clsid, description; } classes[] = {
        {L"TolDloadMr", kDloadMr, L"TolDloadMr Class"},
        {L"TolBand", kBand, L"Tolvane Download Manager"},
        {L"TolDownloadHelper", kHelper, L"TolDownloadHelper Class"},
        {L"TolDownloadToolbar", kToolbar, L"Tolvane Download Manager"}};
    for (const auto& c : classes)
    {
        const std::wstring progId = L"TolDownloadClient." + c.name, key = L"CLSID\\" + c.clsid;
        entries.insert(entries.end(), {
            {cr, progId + L".1", L"", c.name + L" Class"}, {cr, progId + L".1\\CLSID", L"", c.clsid},
            {cr, progId, L"", c.name + L" Class"}, {cr, progId + L"\\CLSID", L"", c.clsid},
            {cr, progId + L"\\CurVer", L"", progId + L".1"}, {cr, key, L"", c.description},
            {cr, key + L"\\ProgID", L"", progId + L".1"}, {cr, key + L"\\VersionIndependentProgID", L"", progId},
            {cr, key + L"\\Programmable", nullptr, L""}, {cr, key + L"\\InprocServer32", L"", module},
            {cr, key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"}, {cr, key + L"\\TypeLib", L"", kLibId}});
    }
    const std::wstring ie = L"Software\\Microsoft\\Internet Explorer";
    const std::wstring button = ie + L"\\Extensions\\{C9AF7737-4895-4C5E-B95A-C34C852806CE}";
    entries.insert(entries.end(), {
        {lm, ie, L"DownloadUI", kDloadMr}, {lm, ie + L"\\Explorer Bars\\" + kBand, nullptr, L""},
        {lm, button, L"ButtonText", L"Tolvane Download Manager"}, {lm, button, L"Icon", module + L",243"},
        {lm, button, L"HotIcon", module + L",244"}, {lm, button, L"Default Visible", L"Yes"},
        {lm, button, L"CLSID", L"{1FBA04EE-3024-11D2-8F1F-0000F87ABD16}"},
        {lm, button, L"Script", L"res://" + module + L"/3002"},
        {lm, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\" + kHelper, L"",
         L"Tolvane Download Manager Helper"},
        {lm, ie + L"\\Toolbar", kToolbar.c_str(), L"Tolvane Download Manager"},
        {cr, L"TypeLib\\" + kLibId + L"\\1.0", L"", L"TolDownloadClient 1.0 Type Library"},
        {cr, L"CLSID\\" + kBand + L"\\Implemented Categories\\" + kCommBand, nullptr, L""},
        // The context-menu entries, named in the interface language.
        {HKEY_CURRENT_USER, kMenuEntry, L"", L"res://" + module + L"/3000"},
        {HKEY_CURRENT_USER, kPageMenuEntry, L"", L"res://" + module + L"/3001"}});
    return entries;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    unique_hkey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A string value ("": the default value); nullopt when it is missing or of another type.
std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path, const wchar_t* name)
{
    wchar_t data[1024];
    DWORD size = sizeof(data);
    if (::RegGetValueW(root, path.c_str(), *name ? name : nullptr, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(data);
}

void RunRegsvr32(bool registering)
{
    const ProcessResult result = RunProcess(std::wstring(L"regsvr32 /s ") + (registering ? L"" : L"/u ") + L"\"" +
                                            TdmDllPath() + L"\"");
    ASSERT_EQ(0u, result.exitCode) << (registering ? "register" : "unregister") << ": " << result.output;
}

class RegistrationTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(TdmDllPath().empty()) << "TDM_DLL_PATH is not set";
        SetLanguageID(1033);
        RunRegsvr32(false);
    }
    void TearDown() override { RunRegsvr32(false); }
};

}  // namespace

// Registering (twice, as an installer repairing the installation does) writes
// every entry and deletes the shell's category cache, so that the bar is offered.
// Unregistering removes the entries but not the kept keys, nor somebody else's
// value in a key the registration writes (which keeps that key and its parent).
TEST_F(RegistrationTest, RegistrationWritesEveryEntryAndUnregistrationRemovesThem)
{
    const std::wstring caches[] = {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Discardable\\PostSetup\\"
                                   L"Component Categories\\" + kCommBand + L"\\Enum",
                                   L"Component Categories\\" + kCommBand + L"\\Enum"};
    const HKEY cacheRoots[] = {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(cacheRoots[i], caches[i].c_str(), L"Cached", REG_SZ, L"", 2));
    RunRegsvr32(true);
    RunRegsvr32(true);
    for (const Entry& entry : ExpectedEntries(TdmDllPath()))
    {
        if (entry.value)
            EXPECT_EQ(entry.data, ReadString(entry.root, entry.key, entry.value)) << entry.key << L" " << entry.value;
        else
            EXPECT_TRUE(KeyExists(entry.root, entry.key)) << entry.key;
    }
    for (const auto& [entry, expected] : {std::pair(kMenuEntry, 0x22u), std::pair(kPageMenuEntry, 0x01u)})
    {
        // Links and images for the link entry, the page (nothing under the pointer) for the other.
        DWORD contexts = 0, size = sizeof(contexts);
        EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_CURRENT_USER, entry.c_str(), L"Contexts", RRF_RT_REG_DWORD,
                                                nullptr, &contexts, &size)) << entry;
        EXPECT_EQ(expected, contexts) << entry;
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(KeyExists(cacheRoots[i], caches[i])) << caches[i];

    const std::wstring progId = L"TolDownloadClient.TolBand", foreign = progId + L"\\CurVer";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, foreign.c_str(), L"Foreign", REG_SZ, L"kept", 10));
    RunRegsvr32(false);
    for (const Entry& entry : ExpectedEntries(TdmDllPath()))
    {
        if (entry.value && (*entry.value || entry.key == progId || entry.key == foreign))
            EXPECT_EQ(std::nullopt, ReadString(entry.root, entry.key, entry.value)) << entry.key << L" " << entry.value;
        else
            EXPECT_FALSE(KeyExists(entry.root, entry.key)) << entry.key;
    }
    EXPECT_EQ(std::wstring(L"kept"), ReadString(HKEY_CLASSES_ROOT, foreign, L"Foreign"));
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, progId.c_str());
    // Kept keys: created when missing, never removed by unregistration.
    const std::wstring ie = L"Software\\Microsoft\\Internet Explorer";
    for (const std::wstring& kept :
         {ie, ie + L"\\Explorer Bars", ie + L"\\Extensions", ie + L"\\Toolbar",
          std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects")})
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kept)) << kept;
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

// The rest runs the registration code linked into this program, with the program
// as the module: its scripts point at the program's own file.
STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();

TEST_F(RegistrationTest, AFailedCategoryRegistrationFailsTheRegistration)
{
    // A thread without COM cannot create the category manager: the bar would be
    // missing from the browser's menu, so the registration must not succeed.
    HRESULT registered = S_OK;
    const auto registerServer = [](void* result) WINAPI -> DWORD {
        *static_cast<HRESULT*>(result) = DllRegisterServer();
        return 0;
    };
    HANDLE thread = ::CreateThread(nullptr, 0, registerServer, &registered, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
    EXPECT_TRUE(FAILED(registered)) << std::hex << registered;
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(S_OK, DllUnregisterServer());
    ::CoUninitialize();
}

TEST_F(RegistrationTest, UnregistrationGoesOnPastAFailingClassAndReportsIt)
{
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(S_OK, DllRegisterServer());
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kToolbar));
    // A class table whose first class has no registry script.
    size_t count = 0;
    const ClassEntry* classes = ModuleClasses(&count);
    std::vector<ClassEntry> broken(classes, classes + count);
    broken[0].registryScript = 9999;
    CModule::Instance().Init(::GetModuleHandleW(nullptr), LIBID_TolDownloadClientLib, broken.data(), broken.size());
    const HRESULT unregistered = DllUnregisterServer();
    InitModule(::GetModuleHandleW(nullptr));
    EXPECT_TRUE(FAILED(unregistered)) << std::hex << unregistered;
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kToolbar)) << "the classes after the failing one stay";
    EXPECT_EQ(S_OK, DllUnregisterServer());
    ::CoUninitialize();
}
