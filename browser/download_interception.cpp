#include "browser/download_interception.h"

namespace tdm {

const InterfaceEntry* CTolDloadMr::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolDloadMr, ITolDloadMr),
        TDM_INTERFACE_VIA(CTolDloadMr, IDispatch, ITolDloadMr),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

}  // namespace tdm
