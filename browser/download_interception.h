// Takes over the browser's own file downloads: the browser's download user
// interface, registered under the browser's DownloadUI value.
#pragma once

#include <windows.h>
#include <downloadmgr.h>

#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"

namespace tdm {

class CTolDloadMr : public CObjectRoot, public CDispatchImpl<ITolDloadMr>, public IDownloadManager
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;

    // IDownloadManager
    // Hands the moniker's URL to download creation. S_OK when the client took the
    // download; E_FAIL, silently, when the browser must download it itself: the
    // integration is off, the user holds the bypass key, the capture rules do
    // not take the URL (its file type, its server), the URL is one the client
    // cannot download, the thread has no browser entry, or the helper or the URL
    // cannot be had.
    STDMETHODIMP Download(IMoniker* moniker, IBindCtx* context, DWORD bindVerb, LONG bindFlags, BINDINFO* bindInfo,
                          LPCOLESTR headers, LPCOLESTR redirect, UINT codePage) override;
};

}  // namespace tdm
