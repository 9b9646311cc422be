// The engine's events as the bar and the toolbar receive them: an event sink
// connected to the engine, and the checked unpacking of each event's arguments
// into a call of a typed handler.
//
// The engine is another program. An event whose argument count or argument
// types differ from its declaration (engine/engine.idl) is rejected whole: no
// handler runs, and the rejection is traced to the debug output. By-reference
// arguments (claimed flags, the answers of the file-name and credentials
// questions) reach the handler only when they are by-reference of the declared
// type, so a handler never writes through anything else.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "engine_h.h"

namespace tdm {

// The events a bar or toolbar handles; every method has a do-nothing default.
// Texts are borrowed from the event's arguments for the duration of the call
// (null stands for an empty text).
class IEngineEventHandler
{
public:
    struct FileInfo
    {
        LONG id;
        ULONG totalSize;
        ULONG loadedSize;
        LONG state;
        HWND owner;
        LONG scope;
        BSTR* folder;   // in/out
        BSTR* fileName; // in/out
        VARIANT_BOOL* claimed;
        VARIANT_BOOL* cancel;
    };
    struct Progress
    {
        LONG id;
        ULONG loadedSize;
        double elapsed;
        LONG currentSpeed;
        LONG averageSpeed;
    };
    struct Credentials
    {
        LONG id;
        HWND owner;
        LONG scope;
        BSTR url;
        BSTR realm;
        bool proxy;
        BSTR* userName;  // in/out
        BSTR* password;  // in/out
        VARIANT_BOOL* remember;
        VARIANT_BOOL* cancel;
        VARIANT_BOOL* claimed;
    };

    virtual void OnDownloadAdded(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state, LONG priority) {}
    virtual void OnDownloadStateChanged(LONG id, LONG state, double elapsed) {}
    virtual void OnDownloadStopped(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                                   VARIANT_BOOL* claimed) {}
    virtual void OnDownloadDeleted(LONG id) {}
    virtual void OnDownloadFileInfo(const FileInfo& info) {}
    virtual void OnResumeSupportChanged(LONG id, bool resumable) {}
    virtual void OnDownloadProgress(const Progress& progress) {}
    virtual void OnDownloadCompleted(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                                     VARIANT_BOOL* claimed) {}
    virtual void OnDownloadError(LONG id, LONG state, LONG scope, VARIANT_BOOL* claimed) {}
    // `info`: a one-row array with the columns of the engine's download list.
    virtual void OnDownloadInfoChanged(LONG id, const VARIANT& info) {}
    virtual void OnDownloadRestarted(LONG id, ULONG totalSize, ULONG loadedSize, LONG state, double elapsed) {}
    virtual void OnCredentialsRequired(const Credentials& request) {}
    virtual void OnLogOptionChanged(bool logPerDownload) {}
    virtual void OnLanguageChanged(LANGID language) {}
    // `sections`: as column 14 of the engine's download list.
    virtual void OnSectionsChanged(LONG id, const VARIANT& sections) {}
    // `section` counts from 1.
    virtual void OnSectionProgress(LONG id, LONG section, LONG sectionCount, ULONG loadedSize,
                                   ULONG sectionLoaded) {}
    virtual void OnSectionFinished(LONG id, LONG section, LONG sectionCount) {}
    virtual void OnPriorityChanged(LONG id, LONG priority) {}
    virtual void OnTrafficModeChanged(LONG mode) {}
    virtual void OnDownloadRenamed(LONG id, BSTR url, BSTR path) {}
    virtual void OnInterfaceChanged(bool languageResources) {}

protected:
    ~IEngineEventHandler() = default;
};

// Unpacks event `dispid` and calls the handler. S_OK when the handler ran or the
// event is one the handlers do not take (10, 11, unknown ids);
// DISP_E_BADPARAMCOUNT or DISP_E_TYPEMISMATCH when the arguments were rejected.
HRESULT DispatchEngineEvent(DISPID dispid, const DISPPARAMS* params, IEngineEventHandler& handler) noexcept;

// The event sink of one bar or toolbar: an IDispatch for _IDownloadEngineEvents
// that lives inside its owner. Its references are the owner's (AddRef and
// Release are forwarded), so a connected engine keeps the owner alive; its
// identity (QueryInterface) is its own.
class CEngineEventSink final : public _IDownloadEngineEvents
{
public:
    CEngineEventSink(IUnknown& owner, IEngineEventHandler& handler) noexcept : m_owner(owner), m_handler(handler) {}
    CEngineEventSink(const CEngineEventSink&) = delete;
    CEngineEventSink& operator=(const CEngineEventSink&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    // Every event ends in S_OK for the engine, rejected ones included.
    STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override;

private:
    IUnknown& m_owner;
    IEngineEventHandler& m_handler;
};

}  // namespace tdm
