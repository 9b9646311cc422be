// Takes over the browser's own file downloads.
#pragma once

#include <windows.h>

#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"

namespace tdm {

class CTolDloadMr : public CObjectRoot, public CDispatchImpl<ITolDloadMr>
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
};

}  // namespace tdm
