// A client of the installed engine for the installer's round trip (the engine
// and the aria2c.exe beside it, as a browser would reach them):
//   engine_client trust <pem-file>     adds the certificate to the machine's roots
//   engine_client add <url> <folder>   downloads <url> into <folder>\ and prints
//                                      "complete<TAB>id<TAB>folder<TAB>file" (UTF-8)
//   engine_client has <url>            whether the engine's table holds <url>
// Exit code 0 when it did what was asked. `add` also fails when the engine
// reports the file in another spelling of the folder it was given (a Windows
// aria2 writes '/', which must not reach the clients).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

#include "engine_h.h"

namespace {

struct Row
{
    long id = 0;
    std::wstring folder, file;
    long state = 0;
};

// The newest download of `url` in the engine's table; id 0 when there is none.
Row Find(IDownloadEngine* engine, const std::wstring& url)
{
    Row found;
    VARIANT list = {};  // VT_EMPTY
    LONG last = -1;
    if (SUCCEEDED(engine->GetDownloadList(&list)) && list.vt == (VT_ARRAY | VT_VARIANT))
        ::SafeArrayGetUBound(list.parray, 1, &last);
    for (LONG r = 0; r <= last; ++r)
    {
        VARIANT cells[5] = {};
        for (LONG column = 0; column < 5; ++column)
        {
            LONG index[2] = {r, column};
            ::SafeArrayGetElement(list.parray, index, &cells[column]);
        }
        const auto text = [&](int column) { return std::wstring(cells[column].vt == VT_BSTR ? cells[column].bstrVal : L""); };
        if (text(1) == url && cells[0].lVal > found.id)
            found = {cells[0].lVal, text(2), text(3), cells[4].lVal};
        for (VARIANT& cell : cells)
            ::VariantClear(&cell);
    }
    ::VariantClear(&list);
    return found;
}

int Trust(const wchar_t* pemFile)
{
    std::string pem(65536, '\0');
    FILE* file = ::_wfopen(pemFile, L"rb");
    pem.resize(file ? std::fread(&pem[0], 1, pem.size(), file) : 0);
    if (file)
        std::fclose(file);
    BYTE der[16384];
    DWORD size = sizeof(der);
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    const bool added = store &&
                       ::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                              der, &size, nullptr, nullptr) &&
                       ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (store)
        ::CertCloseStore(store, 0);
    return added ? 0 : 1;
}

int Add(IDownloadEngine* engine, const std::wstring& url, std::wstring folder)
{
    if (folder.back() != L'\\')
        folder += L'\\';
    BSTR address = ::SysAllocString(url.c_str()), place = ::SysAllocString(folder.c_str());
    const HRESULT hr = engine->AddUrl(address, place, 0, VARIANT_TRUE, -1, nullptr);
    ::SysFreeString(address);
    ::SysFreeString(place);
    for (DWORD start = ::GetTickCount(); SUCCEEDED(hr) && ::GetTickCount() - start < 120000; ::Sleep(250))
    {
        const Row found = Find(engine, url);
        if (found.state & 0x14)  // complete or failed
        {
            const std::wstring line = (found.state & 0x04 ? L"complete\t" : L"error\t") + std::to_wstring(found.id) +
                                      L"\t" + found.folder + L"\t" + found.file;
            char utf8[4096] = {};
            ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8, sizeof(utf8) - 1, nullptr, nullptr);
            std::printf("%s\n", utf8);
            return (found.state & 0x04) && found.folder == folder ? 0 : 1;
        }
    }
    std::printf("AddUrl: 0x%08lx, no end in time\n", static_cast<unsigned long>(hr));
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 2 ? argv[1] : L"";
    if (command == L"trust")
        return Trust(argv[2]);
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 100;
    int result = 100;
    IDownloadEngine* engine = nullptr;
    CLSID clsid;
    if (SUCCEEDED(::CLSIDFromProgID(L"Tolvane.DownloadEngine", &clsid)) &&
        SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDownloadEngine,
                                     reinterpret_cast<void**>(&engine))))
    {
        if (command == L"add" && argc == 4)
            result = Add(engine, argv[2], argv[3]);
        else if (command == L"has")
            result = Find(engine, argv[2]).id ? 0 : 1;
        engine->Release();
    }
    ::CoUninitialize();
    return result;
}
