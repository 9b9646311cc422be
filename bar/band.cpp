#include "bar/band.h"

#include "framework/error.h"

namespace tdm {

const InterfaceEntry* CTolBand::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolBand, ITolBand),
        TDM_INTERFACE_VIA(CTolBand, IDispatch, ITolBand),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

// ITolBand
STDMETHODIMP CTolBand::IsVisible(VARIANT_BOOL* visible)
try
{
    if (!visible)
        return E_POINTER;
    *visible = VARIANT_FALSE;
    return E_NOTIMPL;
}
TDM_COM_CATCH

}  // namespace tdm
