#include "toolbar/toolbar_band.h"

namespace tdm {

const InterfaceEntry* CTolDownloadToolbar::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolDownloadToolbar, ITolDownloadToolbar),
        TDM_INTERFACE_VIA(CTolDownloadToolbar, IDispatch, ITolDownloadToolbar),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

}  // namespace tdm
