// The help files beside the module (tdm1033.chm, tdm1049.chm): every context
// number the client can hand the viewer opens a page that the file holds. The
// numbers come from the client's own dialogs and menus, the files are read
// through the system's store of compiled help files (itss.dll), as the viewer
// reads them.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "bar/download_menu.h"
#include "bar/panel.h"
#include "dialogs/about_dialog.h"
#include "dialogs/credentials_dialog.h"
#include "dialogs/download_properties.h"
#include "dialogs/help_dialog.h"
#include "dialogs/links_dialog.h"
#include "dialogs/log_dialog.h"
#include "dialogs/proxy_dialog.h"
#include "framework/com_ptr.h"
#include "settings/settings_sheet.h"
#include "toolbar/toolbar_frame.h"

using namespace tdm;

namespace {

// The system's store of compiled help files (IITStorage), called through its
// table of methods; only StgOpenStorage is used.
struct ITStorageMethods
{
    void* unknown[3];
    void* create[4];
    HRESULT(STDMETHODCALLTYPE* StgOpenStorage)(IUnknown*, const WCHAR*, IStorage*, DWORD, SNB, DWORD, IStorage**);
};
constexpr CLSID kClsidITStorage = {0x5d02926a, 0x212e, 0x11d0, {0x9d, 0xf9, 0x00, 0xa0, 0xc9, 0x22, 0xe6, 0xec}};
constexpr IID kIidITStorage = {0x88cc31de, 0x27ab, 0x11d0, {0x9d, 0xf9, 0x00, 0xa0, 0xc9, 0x22, 0xe6, 0xec}};

// Every topic the client asks for: the contents, each help-giving window's own
// topic, and the command topic of each item of the bar's menus (F1 on a
// highlighted item; the context-help item itself gives the window's topic).
std::set<DWORD> TopicsTheClientSends()
{
    std::set<DWORD> topics{
        kHelpContents,
        CMyDlg::HelpTopic(),
        CSettingsDialog::HelpTopic(),
        CInterfaceSettingsDlg::HelpTopic(),
        CCaptureSettingsDlg::HelpTopic(),
        CSettingsLogDlg::HelpTopic(),
        CDownloadPropPage::HelpTopic(),
        kSettingsSheetHelpTopic,
        CProxySettingsDlg::HelpTopic(),
        CDefDownDlg::HelpTopic(),
        CLogDlg::HelpTopic(),
        CUserPasswordDlg::HelpTopic(),
        CLinksDlg::HelpTopic(),
        CAboutDialog::HelpTopic(),
        kDialogTopicBase + CTolToolbarFrame::kToolbarTemplateId,
        kDialogTopicBase + CTolToolbarFrame::kBarViewTemplateId,
    };
    DownloadMenuState everything;
    everything.toolbarToggles = true;
    everything.showToolbar = true;
    const unique_hmenu menus[] = {BuildDownloadMenu(everything), BuildHelpMenu()};
    for (const unique_hmenu& menu : menus)
    {
        EXPECT_NE(nullptr, menu.get());
        for (int i = 0; i < ::GetMenuItemCount(menu.get()); ++i)
        {
            const UINT id = ::GetMenuItemID(menu.get(), i);
            if (id != 0 && id != kHelpButtonId && id != static_cast<UINT>(-1))
                topics.insert(kCommandTopicBase + id);
        }
    }
    return topics;
}

std::wstring HelpFile(WORD language)
{
    const char* dll = std::getenv("TDM_DLL_PATH");
    std::string path = dll ? dll : "";
    path.erase(path.find_last_of('\\') + 1);
    path += "tdm" + std::to_string(language) + ".chm";
    return std::wstring(path.begin(), path.end());
}

// The whole of a file inside the help file; empty when it is not there.
std::string ReadFile(IStorage* storage, const std::string& name)
{
    com_ptr<IStream> stream;
    const std::wstring wide(name.begin(), name.end());
    if (FAILED(storage->OpenStream(wide.c_str(), nullptr, STGM_READ, 0, stream.put())))
        return {};
    std::string data;
    char buffer[4096];
    ULONG read = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof(buffer), &read)) && read > 0)
        data.append(buffer, read);
    return data;
}

// The context map as the viewer looks a number up: #IVB holds its byte count,
// then pairs of a context number and the offset of the page's name in #STRINGS.
std::map<DWORD, std::string> ContextMap(IStorage* storage)
{
    const std::string ivb = ReadFile(storage, "#IVB");
    const std::string strings = ReadFile(storage, "#STRINGS");
    std::map<DWORD, std::string> map;
    DWORD size = 0;
    if (ivb.size() < sizeof(size))
        return map;
    std::memcpy(&size, ivb.data(), sizeof(size));
    EXPECT_EQ(ivb.size(), sizeof(size) + size);
    for (size_t at = sizeof(size); at + 8 <= ivb.size(); at += 8)
    {
        DWORD number = 0, offset = 0;
        std::memcpy(&number, ivb.data() + at, 4);
        std::memcpy(&offset, ivb.data() + at + 4, 4);
        map[number] = offset < strings.size() ? std::string(strings.c_str() + offset) : std::string();
    }
    return map;
}

class HelpFiles : public testing::TestWithParam<std::pair<WORD, const char*>>
{
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        com_ptr<IUnknown> store;
        ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(kClsidITStorage, nullptr, CLSCTX_INPROC_SERVER, kIidITStorage,
                                                    reinterpret_cast<void**>(store.put())));
        const std::wstring file = HelpFile(GetParam().first);
        const auto* methods = *reinterpret_cast<ITStorageMethods* const*>(store.get());
        const HRESULT hr = methods->StgOpenStorage(store.get(), file.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE,
                                                   nullptr, 0, m_storage.put());
        ASSERT_HRESULT_SUCCEEDED(hr) << std::string(file.begin(), file.end());
    }
    void TearDown() override
    {
        m_storage = nullptr;
        ::CoUninitialize();
    }

    com_ptr<IStorage> m_storage;
};

TEST_P(HelpFiles, EveryTopicTheClientSendsOpensAPageInTheLanguagesCodePage)
{
    const std::map<DWORD, std::string> map = ContextMap(m_storage.get());
    const std::string charset = std::string("charset=") + GetParam().second;
    const std::set<DWORD> topics = TopicsTheClientSends();
    EXPECT_GE(topics.size(), 30u);
    for (DWORD topic : topics)
    {
        const auto found = map.find(topic);
        if (found == map.end())
        {
            ADD_FAILURE() << "no page for topic 0x" << std::hex << topic;
            continue;
        }
        // The viewer takes the name with or without a leading slash, inside the file's root.
        std::string page = found->second;
        if (!page.empty() && page.front() == '/')
            page.erase(0, 1);
        const std::string text = ReadFile(m_storage.get(), page);
        EXPECT_NE(std::string::npos, text.find("<title>")) << "topic 0x" << std::hex << topic << ": " << page;
        EXPECT_NE(std::string::npos, text.find(charset)) << page;
    }
}

// The help menu offers the contents and the index: the index names every page
// of the contents.
TEST_P(HelpFiles, TheIndexNamesEveryPageOfTheContents)
{
    const std::string contents = ReadFile(m_storage.get(), "toc.hhc"), index = ReadFile(m_storage.get(), "index.hhk");
    const std::string local = "name=\"Local\" value=\"";
    size_t pages = 0;
    for (size_t at = contents.find(local); at != std::string::npos; at = contents.find(local, at + 1))
    {
        const std::string page = contents.substr(at + local.size(), contents.find('"', at + local.size()) - at - local.size());
        EXPECT_NE(std::string::npos, index.find(local + page + "\"")) << page;
        ++pages;
    }
    EXPECT_GE(pages, 20u);
}

INSTANTIATE_TEST_SUITE_P(Languages, HelpFiles,
                         testing::Values(std::make_pair(WORD{1033}, "windows-1252"),
                                         std::make_pair(WORD{1049}, "windows-1251")));

}  // namespace
