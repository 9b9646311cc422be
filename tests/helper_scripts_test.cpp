// The three script resources of the built module (3000 link download, 3001 all
// links, 3002 toolbar button), run by the system's JScript host (cscript)
// against a stand-in for the browser's menu context.
//
// Each script is taken from tdm.dll's HTML resources, stripped of the HTML
// around it, and run after a prelude that defines what the browser gives it:
// `external.menuArguments` (the page's window with its document and the
// triggering event) and `window.alert`, which prints. The helper object is
// either a recorder that the prelude puts in place of the ActiveXObject
// constructor (it prints the ProgID asked for and the calls it receives), or
// the real helper of the registered tdm.dll, with the scriptable stand-in
// browser "TolvaneTest.Browser" giving the script's thread a browser window.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "framework/unique_any.h"

using namespace tdm;

namespace {

// The text of an HTML resource of tdm.dll between its <script ...> and </script>.
std::string ScriptResource(UINT id)
{
    const char* dllPath = std::getenv("TDM_DLL_PATH");
    if (!dllPath)
    {
        ADD_FAILURE() << "TDM_DLL_PATH is not set";
        return {};
    }
    const unique_hmodule module(::LoadLibraryExA(dllPath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module)
    {
        ADD_FAILURE() << "cannot load " << dllPath << ": error " << ::GetLastError();
        return {};
    }
    const HRSRC resource = ::FindResourceW(module.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(23) /* RT_HTML */);
    const HGLOBAL loaded = resource ? ::LoadResource(module.get(), resource) : nullptr;
    const char* data = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    if (!data)
    {
        ADD_FAILURE() << "no HTML resource " << id;
        return {};
    }
    const std::string html(data, ::SizeofResource(module.get(), resource));
    const size_t open = html.find("<script");
    const size_t start = open == std::string::npos ? open : html.find('>', open);
    const size_t end = html.find("</script>");
    if (start == std::string::npos || end == std::string::npos || end < start)
    {
        ADD_FAILURE() << "resource " << id << " holds no script: " << html;
        return {};
    }
    return html.substr(start + 1, end - start - 1);
}

// Runs a JScript text with `cscript //nologo`; returns what it printed.
std::string RunScript(const std::string& source, DWORD* exitCode)
{
    *exitCode = ~0u;
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    static LONG counter = 0;
    const std::wstring path = std::wstring(folder) + L"tdm_script_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                              std::to_wstring(::InterlockedIncrement(&counter)) + L".js";
    {
        const unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), source.data(), static_cast<DWORD>(source.size()), &written, nullptr))
        {
            ADD_FAILURE() << "cannot write the script file";
            return {};
        }
    }

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    unique_handle readEnd, writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0))
    {
        ADD_FAILURE() << "CreatePipe: " << ::GetLastError();
        return {};
    }
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    std::wstring command = L"cscript.exe //nologo \"" + path + L"\"";
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    {
        ADD_FAILURE() << "cannot start cscript: " << ::GetLastError();
        ::DeleteFileW(path.c_str());
        return {};
    }
    const unique_handle processHandle(process.hProcess);
    const unique_handle threadHandle(process.hThread);
    writeEnd.reset();
    std::string output;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(readEnd.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        output.append(buffer, read);
    if (::WaitForSingleObject(processHandle.get(), 60000) != WAIT_OBJECT_0)
        ADD_FAILURE() << "cscript did not end";
    ::GetExitCodeProcess(processHandle.get(), exitCode);
    ::DeleteFileW(path.c_str());
    return output;
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
           "var external = { menuArguments: {\n"
           "    document: {\n"
           "        activeElement: " + active + ",\n"
           "        elementFromPoint: function (x, y) { WScript.Echo(\"elementFromPoint \" + x + \" \" + y); return " +
           atPoint + "; },\n"
           "        links: pageLinks\n"
           "    },\n"
           "    event: { clientX: 12, clientY: 34 }\n"
           "} };\n";
}

// Puts a recorder in place of the helper object; `onCreate` is JScript run by
// its CreateDownload after printing.
std::string Recorder(const std::string& onCreate = "")
{
    return "ActiveXObject = function (progId) {\n"
           "    WScript.Echo(\"ActiveXObject \" + progId);\n"
           "    return {\n"
           "        CreateDownload: function (url) { WScript.Echo(\"CreateDownload [\" + url + \"]\"); " + onCreate + " },\n"
           "        CreateDownloads: function (links) {\n"
           "            WScript.Echo(\"CreateDownloads \" + (links === pageLinks) + \" \" + links.length); }\n"
           "    };\n"
           "};\n";
}

const char kHelperProgId[] = "ActiveXObject TolDownloadClient.TolDownloadHelper\r\n";

struct ScriptCase
{
    const char* name;
    UINT resource;
    std::string prelude;
    std::string epilogue;
    std::string expected;
};

TEST(HelperScriptsTest, ScriptsOfTheBuiltModule)
{
    // The stand-in browser of the script's thread, with the real helper.
    const std::string attach = "var browser = new ActiveXObject(\"TolvaneTest.Browser\");\nbrowser.Attach();\n";
    const std::string withBar = attach + "browser.RegisterBandWindow();\n";
    const std::string printBarCalls =
        "\nfor (var i = 0; i < browser.BarCallCount; i++) WScript.Echo(browser.BarCall(i));\nbrowser.Detach();\n";
    const std::string link = "new Element(\"A\", \"http://example.com/file.zip\")";

    const ScriptCase cases[] = {
        // 3000 with the recorder: CreateDownload is not built in the helper yet.
        {"3000 on a link downloads its address", 3000, MenuContext(link, "null") + Recorder(), "",
         std::string(kHelperProgId) + "CreateDownload [http://example.com/file.zip]\r\n"},
        {"3000 on an image inside a link takes the link at the pointer", 3000,
         MenuContext("new Element(\"BODY\")", "new Element(\"A\", \"http://example.com/linked.png\")") + Recorder(), "",
         std::string(kHelperProgId) + "elementFromPoint 12 34\r\nCreateDownload [http://example.com/linked.png]\r\n"},
        {"3000 on an image without a link passes an empty address", 3000,
         MenuContext("new Element(\"BODY\")", "new Element(\"IMG\")") + Recorder(), "",
         std::string(kHelperProgId) + "elementFromPoint 12 34\r\nCreateDownload []\r\n"},
        {"3000 with no element at the pointer passes an empty address", 3000,
         MenuContext("null", "null") + Recorder(), "",
         std::string(kHelperProgId) + "elementFromPoint 12 34\r\nCreateDownload []\r\n"},
        {"3000 shows a failure of the helper", 3000,
         MenuContext(link, "null") +
             Recorder("var e = new Error(); e.description = \"stand-in failure\"; throw e;"),
         "", std::string(kHelperProgId) +
                 "CreateDownload [http://example.com/file.zip]\r\nalert: Cannot create the download: stand-in failure\r\n"},
        // 3001: the page's link collection goes to CreateDownloads, which the
        // real helper does not implement. Wine's JScript gives an HRESULT
        // without error information an empty description.
        {"3001 hands the helper the page's links", 3001, MenuContext("null", "null") + Recorder(), "",
         std::string(kHelperProgId) + "CreateDownloads true 2\r\n"},
        {"3001 with the real helper reports the failure", 3001, MenuContext("null", "null"), "",
         "alert: Cannot create the downloads: \r\n"},
        // 3002 with the real helper and a stand-in browser window on the thread.
        {"3002 opens a closed bar", 3002, attach, printBarCalls,
         "ShowBrowserBar {EAB8C56D-C780-4F08-9F07-C300A639E72F} true size=null\r\n"},
        {"3002 closes an open bar", 3002, withBar, printBarCalls,
         "ShowBrowserBar {EAB8C56D-C780-4F08-9F07-C300A639E72F} false size=null\r\n"},
        {"3002 without a browser window shows the failure as it is", 3002, "", "", "alert: \r\n"},
    };
    for (const ScriptCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string script = ScriptResource(c.resource);
        ASSERT_FALSE(script.empty());
        DWORD exitCode = 0;
        const std::string output = RunScript(kWindow + c.prelude + script + c.epilogue, &exitCode);
        EXPECT_EQ(output, c.expected);
        EXPECT_EQ(exitCode, 0u);
    }
}

}  // namespace
