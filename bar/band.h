// The explorer bar's band object.
#pragma once

#include <windows.h>

#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"

namespace tdm {

class CTolBand : public CObjectRoot, public CDispatchImpl<ITolBand>
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;

    // ITolBand
    STDMETHODIMP IsVisible(VARIANT_BOOL* visible) override;
};

}  // namespace tdm
