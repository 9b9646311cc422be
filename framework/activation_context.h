// The module's activation context: the manifest resource of the module, which
// asks for version 6 of the common controls. Windows, dialogs and common controls
// of the module are created inside it.
#pragma once

#include <windows.h>

namespace tdm {

// Creates the module's activation context (once per process).
HANDLE ModuleActivationContext() noexcept;
// Releases it at process detach.
void ReleaseModuleActivationContext() noexcept;

// Activates the module's activation context for the scope.
class CActivationScope
{
public:
    CActivationScope() noexcept;
    CActivationScope(const CActivationScope&) = delete;
    CActivationScope& operator=(const CActivationScope&) = delete;
    ~CActivationScope();

private:
    ULONG_PTR m_cookie = 0;
    bool m_active = false;
};

}  // namespace tdm
