#include "module/class_table.h"

#include "bar/band.h"
#include "browser/download_helper.h"
#include "browser/download_interception.h"
#include "engine/file_icon.h"
#include "framework/activation_context.h"
#include "framework/object.h"
#include "module/context_menu.h"
#include "tdm_h.h"
#include "text/language.h"
#include "toolbar/toolbar_band.h"
#include "toolbar/toolbar_frame.h"

namespace tdm {

const ClassEntry* ModuleClasses(size_t* count) noexcept
{
    static const ClassEntry classes[] = {
        {&CLSID_TolDloadMr, 101, &CClassFactory<CTolDloadMr>::Create, nullptr},
        {&CLSID_TolBand, 102, &CClassFactory<CTolBand>::Create, nullptr},
        {&CLSID_TolDownloadHelper, 123, &CSingletonClassFactory<CTolDownloadHelper>::Create, nullptr},
        {&CLSID_TolDownloadToolbar, 125, &CClassFactory<CTolDownloadToolbar>::Create, nullptr},
    };
    *count = sizeof(classes) / sizeof(classes[0]);
    return classes;
}

void InitModule(HINSTANCE instance) noexcept
{
    size_t count = 0;
    const ClassEntry* classes = ModuleClasses(&count);
    CModule::Instance().Init(instance, LIBID_TolDownloadClientLib, classes, count);
    SetLanguageChangeHook(&MoveContextMenuEntries);
    SetIconicViewFactory(&CreateBarStripFrame);
}

HRESULT CanUnloadModule() noexcept
{
    if (!CModule::Instance().ReleaseIfUnused())
        return S_FALSE;
    ReleaseModuleActivationContext();
    ReleaseFileIconCache();
    return S_OK;
}

}  // namespace tdm
