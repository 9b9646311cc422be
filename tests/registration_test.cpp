// Registration of tdm.dll with regsvr32, checked against the registry entries the
// module must write and remove. Runs in a prefix where nothing else registered
// the module; every test starts and ends unregistered. Russian interface texts
// need the Russian ANSI code page: the interface language is the setting, the
// system locale is Russian throughout.
// test-locale: ru_RU.UTF-8
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/unique_any.h"
#include "framework/module.h"
#include "module/class_table.h"
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
const std::wstring kButton = L"{C9AF7737-4895-4C5E-B95A-C34C852806CE}";
const std::wstring kCommBand = L"{00021494-0000-0000-C000-000000000046}";
const wchar_t kMenuExt[] = L"Software\\Microsoft\\Internet Explorer\\MenuExt";
const wchar_t kSettings[] = L"Software\\Tolvane\\Download Manager\\Settings";

// One registry value (or only a key, when `value` is null) the registration writes.
struct Entry
{
    HKEY root;
    std::wstring key;
    const wchar_t* value;  // null: the key itself; L"": the default value
    std::wstring data;
};

std::vector<Entry> ExpectedEntries(const std::wstring& module)
{
    std::vector<Entry> entries;
    struct Class
    {
        const wchar_t* name;
        std::wstring clsid;
        const wchar_t* description;
    };
    const Class classes[] = {{L"TolDloadMr", kDloadMr, L"TolDloadMr Class"},
                             {L"TolBand", kBand, L"Tolvane Download Manager"},
                             {L"TolDownloadHelper", kHelper, L"TolDownloadHelper Class"},
                             {L"TolDownloadToolbar", kToolbar, L"Tolvane Download Manager"}};
    for (const Class& c : classes)
    {
        const std::wstring progId = std::wstring(L"TolDownloadClient.") + c.name;
        const std::wstring classDescription = std::wstring(c.name) + L" Class";
        const std::wstring key = L"CLSID\\" + c.clsid;
        entries.push_back({HKEY_CLASSES_ROOT, progId + L".1", L"", classDescription});
        entries.push_back({HKEY_CLASSES_ROOT, progId + L".1\\CLSID", L"", c.clsid});
        entries.push_back({HKEY_CLASSES_ROOT, progId, L"", classDescription});
        entries.push_back({HKEY_CLASSES_ROOT, progId + L"\\CLSID", L"", c.clsid});
        entries.push_back({HKEY_CLASSES_ROOT, progId + L"\\CurVer", L"", progId + L".1"});
        entries.push_back({HKEY_CLASSES_ROOT, key, L"", c.description});
        entries.push_back({HKEY_CLASSES_ROOT, key + L"\\ProgID", L"", progId + L".1"});
        entries.push_back({HKEY_CLASSES_ROOT, key + L"\\VersionIndependentProgID", L"", progId});
        entries.push_back({HKEY_CLASSES_ROOT, key + L"\\Programmable", nullptr, L""});
        entries.push_back({HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"", module});
        entries.push_back({HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"});
        entries.push_back({HKEY_CLASSES_ROOT, key + L"\\TypeLib", L"", kLibId});
    }
    const std::wstring ie = L"Software\\Microsoft\\Internet Explorer";
    entries.push_back({HKEY_LOCAL_MACHINE, ie, L"DownloadUI", kDloadMr});
    entries.push_back({HKEY_LOCAL_MACHINE, ie + L"\\Explorer Bars\\" + kBand, nullptr, L""});
    const std::wstring button = ie + L"\\Extensions\\" + kButton;
    entries.push_back({HKEY_LOCAL_MACHINE, button, L"ButtonText", L"Tolvane Download Manager"});
    entries.push_back({HKEY_LOCAL_MACHINE, button, L"Icon", module + L",243"});
    entries.push_back({HKEY_LOCAL_MACHINE, button, L"HotIcon", module + L",244"});
    entries.push_back({HKEY_LOCAL_MACHINE, button, L"Default Visible", L"Yes"});
    entries.push_back({HKEY_LOCAL_MACHINE, button, L"CLSID", L"{1FBA04EE-3024-11D2-8F1F-0000F87ABD16}"});
    entries.push_back({HKEY_LOCAL_MACHINE, button, L"Script", L"res://" + module + L"/3002"});
    entries.push_back({HKEY_LOCAL_MACHINE,
                       L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\" + kHelper,
                       L"", L"Tolvane Download Manager Helper"});
    entries.push_back({HKEY_LOCAL_MACHINE, ie + L"\\Toolbar", kToolbar.c_str(), L"Tolvane Download Manager"});
    entries.push_back({HKEY_CLASSES_ROOT, L"TypeLib\\" + kLibId + L"\\1.0", L"", L"TolDownloadClient 1.0 Type Library"});
    entries.push_back({HKEY_CLASSES_ROOT, L"CLSID\\" + kBand + L"\\Implemented Categories\\" + kCommBand, nullptr, L""});
    return entries;
}

// Kept keys: created when missing, never removed by unregistration.
const std::vector<std::pair<HKEY, std::wstring>> kKeptKeys = {
    {HKEY_CLASSES_ROOT, L"CLSID"},
    {HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Internet Explorer"},
    {HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Internet Explorer\\Explorer Bars"},
    {HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Internet Explorer\\Extensions"},
    {HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Internet Explorer\\Toolbar"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects"},
};

bool KeyExists(HKEY root, const std::wstring& path)
{
    unique_hkey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Reads a string value; returns false when the key or the value is missing.
bool ReadString(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring& data, DWORD* type = nullptr)
{
    unique_hkey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD valueType = 0;
    if (::RegQueryValueExW(key.get(), name && *name ? name : nullptr, nullptr, &valueType,
                           reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return false;
    if (type)
        *type = valueType;
    data.assign(buffer);
    return true;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

std::string Describe(const Entry& entry)
{
    std::string root = entry.root == HKEY_CLASSES_ROOT ? "HKCR\\" : entry.root == HKEY_LOCAL_MACHINE ? "HKLM\\" : "HKCU\\";
    return root + Narrow(entry.key) + (entry.value ? " [" + Narrow(entry.value) + "]" : std::string());
}

void RunRegsvr32(bool registering)
{
    const std::wstring command = std::wstring(L"regsvr32 /s ") + (registering ? L"" : L"/u ") + L"\"" +
                                 TdmDllPath() + L"\"";
    const ProcessResult result = RunProcess(command);
    ASSERT_EQ(0u, result.exitCode) << (registering ? "register" : "unregister") << ": " << result.output;
}

void SetLanguage(DWORD language)
{
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                               key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"LanguageID", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&language), sizeof(language)));
}

// The names of the MenuExt keys whose default value runs one of our scripts.
std::vector<std::wstring> OurMenuEntries()
{
    std::vector<std::wstring> names;
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kMenuExt, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return names;
    const std::wstring script = L"res://" + TdmDllPath() + L"/";
    wchar_t name[256];
    for (DWORD i = 0;; ++i)
    {
        DWORD length = 256;
        if (::RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::wstring data;
        if (ReadString(key.get(), name, L"", data) && data.rfind(script, 0) == 0)
            names.push_back(name);
    }
    return names;
}

DWORD ReadContexts(const std::wstring& entry)
{
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kMenuExt) + L"\\" + entry).c_str(), 0, KEY_READ,
                        key.put()) != ERROR_SUCCESS)
        return 0;
    DWORD value = 0, size = sizeof(value), type = 0;
    ::RegQueryValueExW(key.get(), L"Contexts", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    return type == REG_DWORD ? value : 0;
}

const wchar_t kEnglishEntry[] = L"&Download by Tolvane Download Manager";
const wchar_t kRussianEntry[] = L"&Закачать при помощи Tolvane Download Manager";

class RegistrationTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(TdmDllPath().empty()) << "TDM_DLL_PATH is not set";
        SetLanguage(1033);
        RunRegsvr32(false);
    }
    void TearDown() override
    {
        for (DWORD language : {1049u, 1033u})
        {
            SetLanguage(language);
            RunRegsvr32(false);
        }
    }
};

}  // namespace

TEST_F(RegistrationTest, RegisterWritesEveryEntry)
{
    RunRegsvr32(true);
    for (const Entry& entry : ExpectedEntries(TdmDllPath()))
    {
        if (!entry.value)
        {
            EXPECT_TRUE(KeyExists(entry.root, entry.key)) << Describe(entry);
            continue;
        }
        std::wstring data;
        DWORD type = 0;
        ASSERT_TRUE(ReadString(entry.root, entry.key, entry.value, data, &type)) << Describe(entry);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << Describe(entry);
        EXPECT_EQ(Narrow(entry.data), Narrow(data)) << Describe(entry);
    }
    const std::vector<std::wstring> menu = OurMenuEntries();
    ASSERT_EQ(1u, menu.size());
    EXPECT_EQ(std::wstring(kEnglishEntry), menu[0]);
    std::wstring script;
    ASSERT_TRUE(ReadString(HKEY_CURRENT_USER, std::wstring(kMenuExt) + L"\\" + menu[0], L"", script));
    EXPECT_EQ(Narrow(L"res://" + TdmDllPath() + L"/3000"), Narrow(script));
    EXPECT_EQ(0x22u, ReadContexts(menu[0]));
}

TEST_F(RegistrationTest, UnregisterRemovesEntriesAndKeepsKeptKeys)
{
    RunRegsvr32(true);
    RunRegsvr32(false);
    for (const Entry& entry : ExpectedEntries(TdmDllPath()))
    {
        std::wstring data;
        if (entry.value && *entry.value)
            EXPECT_FALSE(ReadString(entry.root, entry.key, entry.value, data)) << Describe(entry);
        else
            EXPECT_FALSE(KeyExists(entry.root, entry.key)) << Describe(entry);
    }
    for (const auto& [root, key] : kKeptKeys)
        EXPECT_TRUE(KeyExists(root, key)) << Narrow(key);
    EXPECT_TRUE(OurMenuEntries().empty());
}

TEST_F(RegistrationTest, UnregisterLeavesForeignDataUnderOurKeys)
{
    RunRegsvr32(true);
    // Somebody else's value in a key the script writes must survive, and keep
    // that key (and its parents) alive.
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CLASSES_ROOT, L"TolDownloadClient.TolBand\\CurVer", 0,
                                             KEY_ALL_ACCESS, key.put()));
    const wchar_t foreign[] = L"kept";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"Foreign", 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(foreign), sizeof(foreign)));
    key.reset();
    RunRegsvr32(false);
    std::wstring data;
    EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, L"TolDownloadClient.TolBand\\CurVer", L"Foreign", data));
    EXPECT_FALSE(ReadString(HKEY_CLASSES_ROOT, L"TolDownloadClient.TolBand\\CurVer", L"", data));
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"TolDownloadClient.TolBand");
}

TEST_F(RegistrationTest, RegisteringTwiceLeavesOneMenuEntry)
{
    RunRegsvr32(true);
    RunRegsvr32(true);
    const std::vector<std::wstring> menu = OurMenuEntries();
    ASSERT_EQ(1u, menu.size());
    EXPECT_EQ(0x22u, ReadContexts(menu[0]));
}

TEST_F(RegistrationTest, MenuEntryIsNamedInTheInterfaceLanguage)
{
    SetLanguage(1049);
    RunRegsvr32(true);
    std::vector<std::wstring> menu = OurMenuEntries();
    ASSERT_EQ(1u, menu.size());
    EXPECT_TRUE(menu[0] == kRussianEntry) << "entry has the English name: " << Narrow(menu[0]);
    // Unregistering in another language removes the keys of that language only.
    SetLanguage(1033);
    RunRegsvr32(false);
    menu = OurMenuEntries();
    ASSERT_EQ(1u, menu.size());
    EXPECT_TRUE(menu[0] == kRussianEntry);
}

TEST_F(RegistrationTest, LanguageWithoutStringsRegistersNoMenuEntryAndSparesOthers)
{
    // A foreign add-on's entry must survive whatever language the module runs in.
    unique_hkey other;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kMenuExt) + L"\\Other add-on").c_str(),
                                               0, nullptr, 0, KEY_ALL_ACCESS, nullptr, other.put(), nullptr));
    other.reset();
    SetLanguage(1031);
    RunRegsvr32(true);
    EXPECT_TRUE(OurMenuEntries().empty());
    RunRegsvr32(false);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(kMenuExt) + L"\\Other add-on"));
    ::RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kMenuExt) + L"\\Other add-on").c_str());
}

TEST_F(RegistrationTest, RegisterDeletesTheCategoryCache)
{
    const std::wstring userCache = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Discardable\\PostSetup\\"
                                   L"Component Categories\\" + kCommBand + L"\\Enum";
    const std::wstring classesCache = L"Component Categories\\" + kCommBand + L"\\Enum";
    for (const auto& [root, path] : {std::make_pair(HKEY_CURRENT_USER, userCache),
                                     std::make_pair(HKEY_CLASSES_ROOT, classesCache)})
    {
        unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root, (path + L"\\Cached").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, key.put(), nullptr));
    }
    RunRegsvr32(true);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, userCache));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classesCache));
}

TEST_F(RegistrationTest, ProgIdsCreateObjectsFromJScript)
{
    RunRegsvr32(true);
    wchar_t folder[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, folder));
    const std::wstring script = std::wstring(folder) + L"tdm_progids.js";
    const char text[] =
        "var names = ['TolDloadMr', 'TolBand', 'TolDownloadHelper', 'TolDownloadToolbar'];\r\n"
        "for (var i = 0; i < names.length; i++) {\r\n"
        "  try { var o = new ActiveXObject('TolDownloadClient.' + names[i]);\r\n"
        "        WScript.Echo(names[i] + ' ' + (o != null)); }\r\n"
        "  catch (e) { WScript.Echo(names[i] + ' failed ' + e.description); }\r\n"
        "}\r\n";
    {
        unique_file file(::CreateFileW(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), text, sizeof(text) - 1, &written, nullptr));
    }
    const ProcessResult result = RunProcess(L"cscript //nologo \"" + script + L"\"");
    ::DeleteFileW(script.c_str());
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ("TolDloadMr true\r\nTolBand true\r\nTolDownloadHelper true\r\nTolDownloadToolbar true\r\n",
              result.output);
}

// The rest runs the registration code linked into this program, with the program
// as the module: its scripts point at the program's own file.
STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();

TEST_F(RegistrationTest, AFailedCategoryRegistrationFailsTheRegistration)
{
    // A thread without COM cannot create the category manager: the bar would be
    // missing from the browser's menu, so the registration must not succeed.
    struct Thread
    {
        static DWORD WINAPI Register(void* result)
        {
            *static_cast<HRESULT*>(result) = DllRegisterServer();
            return 0;
        }
    };
    HRESULT registered = S_OK;
    HANDLE thread = ::CreateThread(nullptr, 0, &Thread::Register, &registered, 0, nullptr);
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
