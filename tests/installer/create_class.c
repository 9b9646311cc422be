/* Creates each class named on the command line by its ProgID, as a host does
 * (CoCreateInstance, no site), and prints one line per class. The exit code is
 * the number of classes that could not be created. Script engines cannot stand
 * in for this for the band objects: they site every object they create, and a
 * band refuses a site that is not a browser's. */
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv)
{
    int failed = 0;
    if (FAILED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED)))
        return 100;
    for (int i = 1; i < argc; ++i)
    {
        CLSID clsid;
        IUnknown* object = NULL;
        HRESULT hr = CLSIDFromProgID(argv[i], &clsid);
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(&clsid, NULL, CLSCTX_ALL, &IID_IUnknown, (void**)&object);
        wprintf(L"%ls %ls: 0x%08lx\n", SUCCEEDED(hr) ? L"created" : L"failed", argv[i], (unsigned long)hr);
        if (object)
            object->lpVtbl->Release(object);
        else
            ++failed;
    }
    CoUninitialize();
    return failed;
}
