// The three script resources of the built module (3000 link download, 3001 all
// links, 3002 toolbar button), taken from tdm.dll's HTML resources and run by
// cscript after a prelude standing in for the browser's menu context:
// `external.menuArguments` (page window, document, event) and a printing
// `window.alert`. The helper is either a recorder put in place of the
// ActiveXObject constructor, or the real registered helper with the scriptable
// stand-in browser "TolvaneTest.Browser" giving the thread a browser window.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "framework/unique_any.h"
#include "support/process.h"

using namespace tdm;

namespace {

// The text of an HTML resource of tdm.dll between its <script ...> and </script>.
std::string ScriptResource(UINT id)
{
    const unique_hmodule module(::LoadLibraryExW(test::TdmDllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const HRSRC resource = module ? ::FindResourceW(module.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(23)) : nullptr;
    const HGLOBAL loaded = resource ? ::LoadResource(module.get(), resource) : nullptr;
    const char* data = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    const std::string html = data ? std::string(data, ::SizeofResource(module.get(), resource)) : std::string();
    const size_t start = html.find('>', html.find("<script"));
    const size_t end = html.find("</script>");
    if (start == std::string::npos || end == std::string::npos || end < start)
    {
        ADD_FAILURE() << "HTML resource " << id << " of tdm.dll holds no script: " << html;
        return {};
    }
    return html.substr(start + 1, end - start - 1);
}

// Runs a JScript text with `cscript //nologo`.
test::ProcessResult RunScript(const std::string& source)
{
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"tdm_script_" + std::to_wstring(::GetCurrentProcessId()) + L".js";
    FILE* file = ::_wfopen(path.c_str(), L"wb");
    const bool written = file && std::fwrite(source.data(), 1, source.size(), file) == source.size();
    if (file)
        std::fclose(file);
    EXPECT_TRUE(written) << "cannot write the script file";
    test::ProcessResult result = test::RunProcess(L"cscript.exe //nologo \"" + path + L"\"");
    ::DeleteFileW(path.c_str());
    return result;
}

// What every script gets from the browser: `window.alert` prints.
const char kWindow[] = R"(var window = { alert: function (text) { WScript.Echo("alert: " + text); } };
function Element(tagName, href) { this.tagName = tagName; if (href !== undefined) this.href = href; }
)";

// The menu context: the page's window with its document and the right click at
// (12, 34). `active` and `atPoint` are JScript expressions.
std::string MenuContext(const std::string& active, const std::string& atPoint)
{
    return "var pageLinks = [new Element(\"A\", \"http://example.com/a.zip\"), new Element(\"A\", \"ftp://example.com/b\")];\n"
           "var external = { menuArguments: { event: { clientX: 12, clientY: 34 }, document: { links: pageLinks,\n"
           "    elementFromPoint: function (x, y) { WScript.Echo(\"elementFromPoint \" + x + \" \" + y); return " +
           atPoint + "; },\n    activeElement: " + active + " } } };\n";
}

// Puts a recorder in place of the helper object; `onCreate` is JScript run by
// its CreateDownload after printing.
std::string Recorder(const std::string& onCreate = "")
{
    return "ActiveXObject = function (progId) { WScript.Echo(\"ActiveXObject \" + progId); return {\n"
           "    CreateDownload: function (url) { WScript.Echo(\"CreateDownload [\" + url + \"]\"); " + onCreate + " },\n"
           "    CreateDownloads: function (links) {\n"
           "        WScript.Echo(\"CreateDownloads \" + (links === pageLinks) + \" \" + links.length); } }; };\n";
}

// Presses OK in the link-selection dialog the script's process shows, as the
// user confirming the offered links; 1 when it did within 20 seconds.
DWORD WINAPI ConfirmLinks(void*)
{
    for (int tick = 0; tick < 400; ++tick, ::Sleep(50))
        if (HWND dialog = ::FindWindowW(L"#32770", L"Download Links - Tolvane Download Manager"))
            return ::PostMessageW(dialog, WM_COMMAND, IDOK, 0) ? 1 : 0;
    return 0;
}

TEST(HelperScriptsTest, ScriptsOfTheBuiltModule)
{
    const std::string created = "ActiveXObject TolDownloadClient.TolDownloadHelper\r\n";
    const std::string atPointer = created + "elementFromPoint 12 34\r\n";
    // The stand-in browser of the script's thread, with the real helper.
    const std::string attach = "var browser = new ActiveXObject(\"TolvaneTest.Browser\");\n";
    const std::string printBarCalls = "\nWScript.Echo(browser.BarCalls);\n";
    const std::string link = "new Element(\"A\", \"http://example.com/file.zip\")";
    // The engine stand-in, and the AddUrl calls it saw printed at the end.
    const std::string engineControl = "var engine = new ActiveXObject(\"TolvaneTest.EngineControl\");\nengine.Reset();\n";
    const std::string printAddUrl =
        "\nvar calls = engine.Calls.split(\"\\n\");\nfor (var i in calls) if (calls[i].indexOf(\"AddUrl\") >= 0)\n"
        "    WScript.Echo(calls[i].replace(\", \" + browser.Frame + \",\", \", <frame>,\"));\n";
    const std::string body = "new Element(\"BODY\")";
    const struct
    {
        const char* name;
        UINT resource;
        std::string prelude;
        std::string epilogue;
        std::string expected;
        // The output's one line ends in the description the script engine gives
        // a failure without error information, which is not compared: Wine's
        // JScript leaves it empty, Windows' gives the system's text for the code.
        bool engineDescription = false;
        // The script shows the link-selection dialog, which the user confirms.
        bool confirmLinks = false;
    } cases[] = {
        // 3000 with a recorder in place of the helper.
        {"3000 on a link downloads its address", 3000, MenuContext(link, "null") + Recorder(), "",
         created + "CreateDownload [http://example.com/file.zip]\r\n"},
        {"3000 on an image inside a link takes the link at the pointer", 3000,
         MenuContext(body, "new Element(\"A\", \"http://example.com/linked.png\")") + Recorder(), "",
         atPointer + "CreateDownload [http://example.com/linked.png]\r\n"},
        {"3000 on an image without a link passes an empty address", 3000,
         MenuContext(body, "new Element(\"IMG\")") + Recorder(), "", atPointer + "CreateDownload []\r\n"},
        {"3000 with no element at the pointer passes an empty address", 3000, MenuContext("null", "null") + Recorder(),
         "", atPointer + "CreateDownload []\r\n"},
        {"3000 shows a failure of the helper", 3000,
         MenuContext(link, "null") + Recorder("var e = new Error(); e.description = \"stand-in failure\"; throw e;"), "",
         created + "CreateDownload [http://example.com/file.zip]\r\nalert: Cannot create the download: stand-in failure\r\n"},
        // 3000 with the real helper and engine: the page's cookie goes with its link.
        {"3000 creates the download in the engine", 3000,
         attach + "browser.SetPage(\"session=42\", \"http://example.com/file.zip\");\n" + engineControl +
             MenuContext(link, "null"),
         printAddUrl, "engine#1 AddUrl(http://example.com/file.zip, , <frame>, 1, -1, session=42)\r\n"},
        // 3001: the page's link collection goes to CreateDownloads; with the real
        // helper the user confirms the offered links and the engine gets them.
        {"3001 hands the helper the page's links", 3001, MenuContext("null", "null") + Recorder(), "",
         created + "CreateDownloads true 2\r\n"},
        {"3001 creates the confirmed downloads in the engine", 3001,
         attach + "browser.SetPage(\"session=42\", \"http://example.com/a.zip\", \"ftp://example.com/b\");\n" +
             engineControl + MenuContext("null", "null"),
         printAddUrl,
         "engine#1 AddUrl(http://example.com/a.zip, , <frame>, 1, -1, session=42)\r\n"
         "engine#1 AddUrl(ftp://example.com/b, , <frame>, 1, -1, )\r\n",  // not the page's scheme
         false, true},
        {"3001 without a browser window reports the failure", 3001, MenuContext("null", "null"), "",
         "alert: Cannot create the downloads: ", true},
        // 3002 with the real helper and a stand-in browser window on the thread.
        {"3002 opens a closed bar", 3002, attach, printBarCalls,
         "ShowBrowserBar {EAB8C56D-C780-4F08-9F07-C300A639E72F} true size=null\r\n"},
        {"3002 closes an open bar", 3002, attach + "browser.RegisterBandWindow();\n", printBarCalls,
         "ShowBrowserBar {EAB8C56D-C780-4F08-9F07-C300A639E72F} false size=null\r\n"},
        {"3002 without a browser window shows the failure as it is", 3002, "", "", "alert: ", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string script = ScriptResource(c.resource);
        ASSERT_FALSE(script.empty());
        const unique_handle confirmer(c.confirmLinks ? ::CreateThread(nullptr, 0, &ConfirmLinks, nullptr, 0, nullptr)
                                                     : nullptr);
        const test::ProcessResult run = RunScript(kWindow + c.prelude + script + c.epilogue);
        DWORD confirmed = 0;
        if (confirmer && ::WaitForSingleObject(confirmer.get(), INFINITE) == WAIT_OBJECT_0)
            EXPECT_TRUE(::GetExitCodeThread(confirmer.get(), &confirmed) && confirmed) << "no link-selection dialog";
        if (c.engineDescription)
        {
            EXPECT_TRUE(run.output.rfind(c.expected, 0) == 0 && run.output.find('\n') == run.output.size() - 1)
                << run.output;
        }
        else
        {
            EXPECT_EQ(run.output, c.expected);
        }
        EXPECT_EQ(run.exitCode, 0u);
    }
}

}  // namespace
