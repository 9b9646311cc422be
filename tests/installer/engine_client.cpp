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
#include <vector>

#include "engine_h.h"

namespace {

struct Row
{
    long id = 0;
    std::wstring url, folder, file;
    long state = 0;
};

void Print(const std::wstring& text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size - 1 : 0, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    std::printf("%s\n", bytes.c_str());
    std::fflush(stdout);
}

std::vector<Row> ReadRows(IDownloadEngine* engine)
{
    std::vector<Row> rows;
    VARIANT list;
    ::VariantInit(&list);
    if (FAILED(engine->GetDownloadList(&list)) || list.vt != (VT_ARRAY | VT_VARIANT) || !list.parray ||
        ::SafeArrayGetDim(list.parray) != 2)
    {
        ::VariantClear(&list);
        return rows;
    }
    LONG first = 0, last = -1;
    ::SafeArrayGetLBound(list.parray, 1, &first);
    ::SafeArrayGetUBound(list.parray, 1, &last);
    for (LONG r = first; r <= last; ++r)
    {
        const auto cell = [&](LONG column) {
            VARIANT value;
            ::VariantInit(&value);
            LONG index[2] = {r, column};
            ::SafeArrayGetElement(list.parray, index, &value);
            return value;
        };
        Row row;
        VARIANT v = cell(0);
        row.id = v.vt == VT_I4 ? v.lVal : 0;
        for (auto [column, text] : {std::pair(1, &row.url), std::pair(2, &row.folder), std::pair(3, &row.file)})
        {
            v = cell(column);
            if (v.vt == VT_BSTR && v.bstrVal)
                *text = v.bstrVal;
            ::VariantClear(&v);
        }
        v = cell(4);
        row.state = v.vt == VT_I4 ? v.lVal : 0;
        rows.push_back(row);
    }
    ::VariantClear(&list);
    return rows;
}

int Trust(const wchar_t* pemFile)
{
    FILE* file = ::_wfopen(pemFile, L"rb");
    if (!file)
        return 1;
    std::string pem(65536, '\0');
    pem.resize(std::fread(&pem[0], 1, pem.size(), file));
    std::fclose(file);
    BYTE der[16384];
    DWORD size = sizeof(der);
    if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der, &size,
                                nullptr, nullptr))
        return 2;
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    const bool added = store && ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                                   CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (store)
        ::CertCloseStore(store, 0);
    return added ? 0 : 3;
}

int Add(IDownloadEngine* engine, const std::wstring& url, std::wstring folder)
{
    if (folder.back() != L'\\')
        folder += L'\\';
    BSTR address = ::SysAllocString(url.c_str()), place = ::SysAllocString(folder.c_str()),
         cookie = ::SysAllocString(L"");
    const HRESULT hr = engine->AddUrl(address, place, 0, VARIANT_TRUE, -1, cookie);
    ::SysFreeString(address);
    ::SysFreeString(place);
    ::SysFreeString(cookie);
    if (FAILED(hr))
    {
        std::printf("AddUrl failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 120000; ::Sleep(250))
    {
        Row found;
        for (const Row& row : ReadRows(engine))
            if (row.url == url && row.id > found.id)
                found = row;
        if (found.state & 0x10)
        {
            Print(L"error\t" + std::to_wstring(found.id) + L"\t" + found.folder + L"\t" + found.file);
            return 1;
        }
        if (found.state & 0x04)
        {
            Print(L"complete\t" + std::to_wstring(found.id) + L"\t" + found.folder + L"\t" + found.file);
            return found.folder == folder ? 0 : 1;
        }
    }
    std::printf("timed out\n");
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"trust")
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
        if (argc == 4 && std::wstring(argv[1]) == L"add")
            result = Add(engine, argv[2], argv[3]);
        else if (argc == 3 && std::wstring(argv[1]) == L"has")
        {
            result = 1;
            for (const Row& row : ReadRows(engine))
                if (row.url == argv[2])
                {
                    Print(L"has\t" + std::to_wstring(row.id) + L"\t" + std::to_wstring(row.state));
                    result = 0;
                }
        }
        engine->Release();
    }
    ::CoUninitialize();
    return result;
}
