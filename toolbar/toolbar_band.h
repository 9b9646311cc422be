// The toolbar band with the compact downloads view.
#pragma once

#include <windows.h>

#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"

namespace tdm {

class CTolDownloadToolbar : public CObjectRoot, public CDispatchImpl<ITolDownloadToolbar>
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
};

}  // namespace tdm
